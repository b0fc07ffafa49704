// Figures, printed; nothing here passes or fails: one HKLM import through
// the service (its serving loop in this process, the pipe as in production)
// against one through the administrator tool started under the stored
// account (the logon double starts the real tool as this user).
#include <windows.h>
#include <stdio.h>
#include <string>
#include <vector>
#include "clock.h"
#include "cipher.h"
#include "elevate.h"
#include "logon_double.h"
#include "module.h"
#include "printer_double.h"
#include "regops.h"
#include "account.h"
#include "regtree.h"
#include "settings.h"
#include "svctest.h"

namespace {

// Milliseconds per import, and the status of the last one.
double PerImport(int n, const std::wstring& path, const std::vector<BYTE>& image, DWORD* status)
{
    double t = Now();
    for (int i = 0; i < n; i++)
        *status = RunElevatedRegOperation(REG_OP_IMPORT, HKEY_LOCAL_MACHINE, path.c_str(), image.data(),
                                          (DWORD)image.size());
    return (Now() - t) * 1000 / n;
}

}  // namespace

int main()
{
    std::wstring printer = AddPrinter(L"bench", OwnSession(), PRINTER_ATTRIBUTE_TS);
    std::wstring path = DriverDataPath(printer);
    std::vector<ImageKey> keys(4);
    for (size_t k = 0; k < keys.size(); k++) {
        keys[k].relative = k ? L"Sub" + std::to_wstring(k) : L"";
        for (int v = 0; v < 10; v++)
            keys[k].values.push_back({L"Value" + std::to_wstring(v), REG_BINARY, std::vector<BYTE>(64, (BYTE)v)});
    }
    std::vector<BYTE> image = BuildImage(keys);

    ScratchFolder temp(L"qvbench");
    SetEnvironmentVariableW(L"TMP", temp.path().c_str());
    std::wstring ini = temp / L"Quorvane.ini";
    StoreAdminAccount(ini, L"qvbench", L"bench");

    DWORD toolStatus = 0, serviceStatus = 0;
    double tool = PerImport(10, path, image, &toolStatus);
    double service;
    {
        ServiceRun run;
        service = PerImport(100, path, image, &serviceStatus);
    }
    printf("one HKLM import of a %u-byte image (40 values in 4 keys):\n", (unsigned)image.size());
    printf("  through the administrator tool under the stored account: %.2f ms (status %lu)\n", tool, toolStatus);
    printf("  through the service's pipe:                               %.2f ms (status %lu)\n", service,
           serviceStatus);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(PRINTERS_KEY) + L"\\" + printer).c_str());
    return 0;
}
