// Not a test: what the checks of a downloaded add-in add to one update (PE
// structure, version, signature and signer), against the transfer of the
// file itself. The running add-in is the signed simulation library, loaded
// without running it, so that every check runs as on a signed installation.
#include <stdio.h>
#include <algorithm>
#include <vector>
#include "client.h"
#include "clienttest.h"
#include "clock.h"
#include "module.h"

#ifdef _WIN64
const WORD kMachine = IMAGE_FILE_MACHINE_AMD64;
#else
const WORD kMachine = IMAGE_FILE_MACHINE_I386;
#endif

int wmain()
{
    std::wstring running = SimFolder() + L"trust\\running_signed.dll";
    std::wstring newer = SimFolder() + L"trust\\newer_ours.dll";
    g_hInst = LoadLibraryExW(running.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    Bytes file = ReadFileBytes(newer);
    if (!g_hInst || file.empty()) {
        printf("bench_update: the signed fixtures are missing (build client_host_tests first)\n");
        return 1;
    }
    CaptureOwnSigner();
    const int rounds = 25;
    std::vector<double> total, image;
    int accepted = 0;
    for (int i = 0; i < rounds; i++) {
        double t0 = Now();
        accepted += IsAcceptableUpdate(newer.c_str(), (DWORD)file.size()) ? 1 : 0;
        double t1 = Now();
        CheckAddinImage(file.data(), (DWORD)file.size(), kMachine);
        double t2 = Now();
        total.push_back((t1 - t0) * 1000);
        image.push_back((t2 - t1) * 1000);
    }
    std::sort(total.begin(), total.end());
    std::sort(image.begin(), image.end());
    // The channel carries a piece of at most RDP_DOWNLOAD_PIECE_MAX bytes per
    // round trip; at 2 MB/s, a typical remote link, the file alone takes:
    // (an add-in of the running one's size, as a real update would send).
    DWORD sent = (DWORD)ReadFileBytes(running).size();
    double transfer = sent / (2.0 * 1024 * 1024) * 1000;
    printf("update checks of a %u KB add-in (signed, signer compared), %d rounds, %d accepted:\n",
           (unsigned)((file.size() + 1023) / 1024), rounds, accepted);
    printf("  all checks       median %7.2f ms, max %7.2f ms\n", total[rounds / 2], total.back());
    printf("  PE structure     median %7.3f ms\n", image[rounds / 2]);
    printf("  transfer of %u KB at 2 MB/s %7.1f ms (the checks add %.1f %%)\n", (unsigned)((sent + 1023) / 1024),
           transfer, 100.0 * total[rounds / 2] / transfer);
    return accepted == rounds ? 0 : 1;
}
