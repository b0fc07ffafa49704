// Seeded mutated requests, each through the service's serving code on a
// real pipe and through the administrator tool's worker from a file: both
// must refuse exactly the same ones (one rule set), whatever the bytes. The
// printers are the spooler double's: the caller's own redirected ones in
// English and Japanese, another session's, a local one and an unknown name.
// `make fuzz RUN=service` runs it long; under `make test` it runs briefly.
#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include <vector>
#include "admin.h"
#include "module.h"
#include "mutation.h"
#include "printer_double.h"
#include "raii.h"
#include "regtree.h"
#include "service.h"
#include "svctest.h"

namespace {

using mutation::Rng;

struct ClientCase {
    HANDLE pipe;
    const std::vector<BYTE>* bytes;
    bool hangUp;   // a request cut short: the client hangs up after it
};

DWORD WINAPI ClientThread(LPVOID p)
{
    auto* c = (ClientCase*)p;
    DWORD put = 0;
    if (!c->bytes->empty())
        WriteFile(c->pipe, c->bytes->data(), (DWORD)c->bytes->size(), &put, nullptr);
    if (!c->hangUp)
        ReadAnswer(c->pipe);
    CloseHandle(c->pipe);
    return 0;
}

// Bytes that end before what their header announces: the client hangs up
// after them, as a client that dies would, rather than have the service wait
// for the rest until its time-out.
bool EndsEarly(const std::vector<BYTE>& f)
{
    if (f.size() < sizeof(REGREQUESTHEADER))
        return true;
    REGREQUESTHEADER h;
    memcpy(&h, f.data(), sizeof h);
    return f.size() < sizeof h + (ULONGLONG)h.cbPath + (h.dwOperation == REG_OP_IMPORT ? h.cbData : 0);
}

// The service's status for these bytes, through one connection.
DWORD ThroughThePipe(const std::vector<BYTE>& bytes, HANDLE stop)
{
    bool cutShort = EndsEarly(bytes);
    UniqueFile server(CreateNamedPipeW(RegServicePipeName(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 64, 4096, 0, nullptr));
    ClientCase c = {CreateFileW(RegServicePipeName(), REG_SERVICE_PIPE_ACCESS, 0, nullptr, OPEN_EXISTING,
                                SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr),
                    &bytes, cutShort};
    if (!server || c.pipe == INVALID_HANDLE_VALUE)
        return 0xDEAD;
    HANDLE thread = CreateThread(nullptr, 0, ClientThread, &c, 0, nullptr);
    DWORD status = ServeRequest(server.get(), stop);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return status;
}

// The worker's status for the same bytes in a request file.
DWORD ThroughTheWorker(const std::vector<BYTE>& bytes, const std::wstring& file)
{
    WriteBytes(file, std::string(bytes.begin(), bytes.end()));
    RegRequest request;
    DWORD status = ReadRegRequest(file.c_str(), &request);
    return status ? status : CheckWorkerRequest(request);
}

class Generator {
public:
    Generator(unsigned seed, std::vector<std::wstring> paths) : rng_(seed), paths_(std::move(paths)) {}
    std::vector<BYTE> Next()
    {
        DWORD op = rng_.Chance(90) ? rng_.Below(3) : rng_.Next();
        std::vector<BYTE> image;
        if (op == REG_OP_IMPORT || rng_.Chance(5))
            image = BuildImage({{L"", {{L"V", REG_DWORD, DwordData(rng_.Next())}}}});
        HKEY root = rng_.Chance(92) ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
        std::vector<BYTE> f = RequestBytes(op, root, paths_[rng_.Below((DWORD)paths_.size())], image);
        for (DWORD n = rng_.Below(3); n; n--)
            Mutate(f);
        return f;
    }
private:
    void Mutate(std::vector<BYTE>& f)
    {
        switch (rng_.Below(5)) {
        case 0:   // cut short
            f.resize(rng_.Below((DWORD)f.size()));
            break;
        case 1:   // trailing bytes
            for (DWORD n = 1 + rng_.Below(8); n; n--)
                f.push_back((BYTE)rng_.Next());
            break;
        case 2: {   // a size field one or two off
            static const size_t fields[] = {16, 20};
            size_t at = fields[rng_.Below(2)];
            if (f.size() >= at + 4) {
                DWORD v;
                memcpy(&v, &f[at], 4);
                v += (DWORD)((int)rng_.Below(5) - 2);
                memcpy(&f[at], &v, 4);
            }
            break;
        }
        default:   // a bit anywhere, the name's digits included
            if (!f.empty())
                f[rng_.Below((DWORD)f.size())] ^= (BYTE)(1 << rng_.Below(8));
            break;
        }
    }
    Rng rng_;
    std::vector<std::wstring> paths_;
};

}  // namespace

TEST(ServiceMutation, ThePipeAndTheWorkerRefuseExactlyTheSameRequests)
{
    const unsigned seed = mutation::Seed(20261207);
    const DWORD cases = mutation::CaseCount(600);
    mutation::BeginRun("ServiceMutation", seed);
    PrinterDouble::Reset();
    const DWORD own = OwnSession();
    WCHAR name[5][128];
    FormatStr(name[0], 128, L"QvMut %lu (redirected %lu)", GetCurrentProcessId(), own);
    FormatStr(name[1], 128, L"QvMut %lu (PC1 から) セッション %lu", GetCurrentProcessId(), own);
    FormatStr(name[2], 128, L"QvMut %lu (redirected %lu)", GetCurrentProcessId(), own + 1);
    FormatStr(name[3], 128, L"QvMut local %lu (redirected %lu)", GetCurrentProcessId(), own);
    FormatStr(name[4], 128, L"QvMut unknown %lu (redirected %lu)", GetCurrentProcessId(), own);
    const DWORD attributes[5] = {PRINTER_ATTRIBUTE_TS, PRINTER_ATTRIBUTE_TS, PRINTER_ATTRIBUTE_TS, 0, MAXDWORD};
    std::vector<std::wstring> paths;
    for (int i = 0; i < 5; i++) {
        if (attributes[i] != MAXDWORD)
            PrinterDouble::Add(name[i], L"Halvren Office Dravo", attributes[i]);
        paths.push_back(DriverDataPath(name[i]));
        SetValue(HKEY_LOCAL_MACHINE, paths.back(), L"Old", REG_DWORD, DwordData(1));
    }
    ScratchFolder folder(L"qvsvcmut");
    LogStartAt(folder.path().c_str(), L"svcmut", 5);
    const std::wstring file = folder / L"request.tmp";
    UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    Generator gen(seed, paths);
    DWORD served = 0, refused = 0, workerMs = 0, pipeMs = 0;
    DWORD start = GetTickCount();
    for (DWORD i = 0; i < cases; i++) {
        mutation::NoteCase(i);
        std::vector<BYTE> bytes = gen.Next();
        DWORD t0 = GetTickCount();
        DWORD worker = ThroughTheWorker(bytes, file);
        DWORD t1 = GetTickCount();
        DWORD service = ThroughThePipe(bytes, stop.get());
        workerMs += t1 - t0;
        pipeMs += GetTickCount() - t1;
        ASSERT_EQ(worker != 0, service == REG_STATUS_BAD_ARGUMENT)
            << "seed " << seed << " case " << i << ": worker " << worker << ", service " << service;
        (worker == 0 ? served : refused)++;
        if (i % 500 == 499) {
            ASSERT_TRUE(mutation::AllHeapsValid()) << "case " << i;
        }
    }
    LogEnd();
    for (int i = 0; i < 5; i++)
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(PRINTERS_KEY) + L"\\" + name[i]).c_str());
    printf("%lu cases in %lu ms (worker %lu ms, pipe %lu ms): %lu served by both, %lu refused by both\n", cases,
           GetTickCount() - start, workerMs, pipeMs, served, refused);
    EXPECT_GT(served, cases / 20);
    EXPECT_GT(refused, cases / 5);
    EXPECT_EQ(0, PrinterDouble::OpenHandles());
}
