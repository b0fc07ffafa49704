// Figures for the time from a printer appearing to its device mode set,
// printed; nothing here passes or fails. The watch loop runs on its own
// thread in this process against the doubles (spooler, session, a scripted
// client module) with a 300 s interval, so that only printer notifications
// start its passes; the HKLM import goes through the service's serving loop
// in this process, or, with no service, through the administrator tool (its
// simulation build: since its worker checks that the printer exists, it must
// see the bench's printers). Built twice: against the module of this tree,
// and against the one before retries were spaced and passes started at the
// first change (QV_WATCH_BUILD names which), so that scripts/bench.sh shows
// both.
#include <winsock2.h>
#include <windows.h>
#include <process.h>
#include <stdio.h>
#include <algorithm>
#include <string>
#include <vector>
#include "clock.h"
#include "drivers.h"
#include "fakeclient.h"
#include "printer_double.h"
#include "rdpcmd.h"
#include "regtree.h"
#include "server.h"
#include "simprinters.h"
#include "svctest.h"
#include "testutil.h"
#include "watch.h"
#include "wts_double.h"

using svtest::Bytes;

namespace {

Bytes Image()
{
    std::vector<ImageKey> keys = {{L"", {}}, {L"Trays", {}}};
    for (int i = 0; i < 20; i++)
        keys[i % 2].values.push_back({L"Value" + std::to_wstring(i), REG_BINARY, Bytes(64, (BYTE)i)});
    return BuildImage(keys);
}

// The client module of a whole connection: greeting, version (no update),
// and each printer's properties.
Bytes Answer(CRdpData& request)
{
    static const Bytes properties = svtest::PropertiesReply(svtest::DevMode(L"Bench", 0x300, 512), Image(), Image());
    CRdpData reply(request.Cmd(), RDP_RES_OK);
    if (request.Cmd() == RDP_CMD_GETPROPERTIES)
        return properties;
    if (request.Cmd() == RDP_CMD_INITIALIZE)
        reply.AddString(L"benchuser");
    else
        reply.AddDWORD(0);
    return svtest::ReplyBytes(reply);
}

struct Printers {
    std::vector<std::wstring> names;
    SimPrinters tool;   // the administrator tool's spooler double lists them too
    ~Printers()
    {
        for (const auto& n : names)
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(PRINTERS_KEY) + L"\\" + n).c_str());
    }
    // A printer of this session redirected now, its key in place as the spooler makes it.
    std::wstring Redirect()
    {
        std::wstring name = L"QvWatch " + std::to_wstring(names.size()) + L" " + std::to_wstring(GetCurrentProcessId()) +
                            L" (redirected " + std::to_wstring(g_dwSessionId) + L")";
        tool.Add(name);
        HKEY key;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(PRINTERS_KEY) + L"\\" + name).c_str(), 0, nullptr, 0,
                            KEY_WRITE, nullptr, &key, nullptr) == ERROR_SUCCESS)
            RegCloseKey(key);
        names.push_back(name);
        PrinterDouble::Add(name.c_str(), L"Halvren Office Dravo", PRINTER_ATTRIBUTE_TS,
                           PrinterDouble::MakeDevMode(name.c_str(), 0x300));
        return name;
    }
};

bool Applied(const std::wstring& name)
{
    Bytes dm;
    return PrinterDouble::GetLevel9(name.c_str(), &dm);
}

// Seconds until every printer is applied, from `start`; -1 after 30 s.
double UntilApplied(const std::vector<std::wstring>& names, double start)
{
    for (;;) {
        bool all = true;
        for (const auto& n : names)
            all = all && Applied(n);
        if (all)
            return Now() - start;
        if (Now() - start > 30)
            return -1;
        Sleep(1);
    }
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

// One way of the HKLM import: the watch loop started, `singles` printers
// redirected one at a time, then `bursts` times four within 100 ms.
void Run(const char* way, Printers& printers, int singles, int bursts)
{
    // A new watch loop applies every printer it finds again on its first
    // pass, and the previous way's would hold up the first one timed.
    PrinterDouble::Reset();
    svtest::FakeClient client(Answer);
    HANDLE thread = (HANDLE)_beginthreadex(nullptr, 0, WatchEnvProc, nullptr, 0, nullptr);
    Sleep(1500);   // the first pass greets the client
    std::vector<double> single, burst;
    for (int i = 0; i < singles; i++) {
        double t = Now();
        std::wstring name = printers.Redirect();
        single.push_back(UntilApplied({name}, t));
        Sleep(700);   // whatever the previous build still gathers is over
    }
    for (int b = 0; b < bursts; b++) {
        double t = Now();
        std::vector<std::wstring> four;
        for (int i = 0; i < 4; i++, Sleep(i < 4 ? 33 : 0))
            four.push_back(printers.Redirect());
        burst.push_back(UntilApplied(four, t));
        Sleep(700);
    }
    SetEvent(g_hEvent[EVENT_EXIT]);
    WaitForSingleObject(thread, 20000);
    CloseHandle(thread);
    ResetEvent(g_hEvent[EVENT_EXIT]);
    int failed = (int)std::count(single.begin(), single.end(), -1.0) + (int)std::count(burst.begin(), burst.end(), -1.0);
    char note[64] = "";
    if (failed)
        snprintf(note, sizeof note, " (%d NOT APPLIED within 30 s)", failed);
    printf("  %-8s %-22s appeared -> device mode set: median %4.0f ms, slowest %4.0f ms (%d printers); "
           "4 within 100 ms -> all applied: median %4.0f ms, slowest %4.0f ms (%d bursts)%s\n",
           QV_WATCH_BUILD, way, Median(single) * 1000, *std::max_element(single.begin(), single.end()) * 1000, singles,
           Median(burst) * 1000, *std::max_element(burst.begin(), burst.end()) * 1000, bursts,
           note);
}

}  // namespace

int main()
{
    svtest::TempFolder folder{L"benchwatch"};
    svtest::TestEvents events;
    WtsDouble::Reset();
    PrinterDouble::Reset();
    ReadTargetDriver(folder.File(L"none.ini").c_str());
    g_dwInterval = 300000;
    g_dwSessionId = OwnSession();
    svtest::StoreAdminAccount(folder.File(L"common.ini"));
    Printers printers;
    printf("watch loop (%s build), interval 300 s, notifications start the passes; log level 0:\n", QV_WATCH_BUILD);
    {
        ServiceRun service;
        svtest::TestLog log(10240, 5, 0);   // after the service's: the module's own log level
        Run("with the service", printers, 20, 5);
    }
    {
        svtest::TestLog log(10240, 5, 0);
        Run("administrator tool", printers, 10, 5);
    }
    return 0;
}
