// Figures for the server's main job, printed; nothing here passes or fails.
// Runs in process against the doubles (spooler, session, a scripted client
// module), with the real registry and the real administrator tool.
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>
#include <shlwapi.h>
#include <tlhelp32.h>
#include <process.h>
#include <stdio.h>
#include <wtsapi32.h>
#include <string>
#include <thread>
#include "clock.h"
#include "apply.h"
#include "drivers.h"
#include "elevate.h"
#include "fakeclient.h"
#include "logon_double.h"
#include "module.h"
#include "printer_double.h"
#include "rdpcmd.h"
#include "regops.h"
#include "regtree.h"
#include "simprinters.h"
#include "settings.h"
#include "simlink.h"
#include "testutil.h"
#include "update.h"
#include "watch.h"
#include "wts_double.h"

using svtest::Bytes;

namespace {

double ThreadCpu()
{
    FILETIME a, b, k, u;
    GetThreadTimes(GetCurrentThread(), &a, &b, &k, &u);
    return ((double)((ULONGLONG)k.dwHighDateTime << 32 | k.dwLowDateTime) +
            (double)((ULONGLONG)u.dwHighDateTime << 32 | u.dwLowDateTime)) / 1e7;
}

SIZE_T PrivateBytes()
{
    PROCESS_MEMORY_COUNTERS_EX pmc = {};
    GetProcessMemoryInfo(GetCurrentProcess(), (PROCESS_MEMORY_COUNTERS*)&pmc, sizeof pmc);
    // Wine leaves PrivateUsage at 0; the commit charge is the same figure there.
    return pmc.PrivateUsage ? pmc.PrivateUsage : pmc.PagefileUsage;
}

template <typename F>
double PerCall(int n, F f)
{
    double t = Now();
    for (int i = 0; i < n; i++)
        f();
    return (Now() - t) * 1000 / n;
}

Bytes Image(int values)
{
    std::vector<ImageKey> keys = {{L"", {}}, {L"Trays", {}}};
    for (int i = 0; i < values; i++)
        keys[i % 2].values.push_back({L"Value" + std::to_wstring(i), REG_BINARY, Bytes(64, (BYTE)i)});
    return BuildImage(keys);
}

struct Setup {
    svtest::TempFolder folder{L"bench"};
    SimPrinters sim{2};
    svtest::TestEvents events;
    std::wstring server, hklm, hkcu;
    Setup()
    {
        g_hInst = GetModuleHandleW(nullptr);
        WtsDouble::Reset();
        PrinterDouble::Reset();
        ReadTargetDriver(folder.File(L"none.ini").c_str());
        server = L"QvBench" + std::to_wstring(GetCurrentProcessId()) + L" (redirected 2)";
        PrinterDouble::Add(server.c_str(), L"Halvren Office Dravo", PRINTER_ATTRIBUTE_TS,
                           PrinterDouble::MakeDevMode(server.c_str(), 0x300));
        hklm = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\" + server + L"\\PrinterDriverData";
        sim.Add(server);   // for the tool's worker
        hkcu = L"Software\\Halvren\\DravoK\\" + server;
        svtest::StoreAdminAccount(folder.File(L"common.ini"));
    }
    ~Setup()
    {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, (L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\" + server).c_str());
        RegDeleteTreeW(HKEY_CURRENT_USER, hkcu.c_str());
    }
};

void ApplyFigures(Setup& s)
{
    Bytes dm = svtest::DevMode(L"Bench", 0x300, 512);
    Bytes image = Image(40);
    Bytes reply = svtest::PropertiesReply(dm, image, image);
    svtest::FakeClient client([&](CRdpData&) { return reply; });
    CPrinterList list;
    list.AddRedirectPrinter(s.server.c_str());
    double whole = PerCall(10, [&] {
        list.Entry(0)->nAttempts = 5;
        ServerProc(list);
    });
    HANDLE channel = WTSVirtualChannelOpen(nullptr, 0, (LPSTR)RDP_CHANNEL_NAME);
    CRdpData request;
    MakeGetPropertiesRequest(request, L"Bench", s.hklm.c_str(), s.hkcu.c_str());
    double exchange = PerCall(200, [&] { WriteAndReadRDP(channel, request); });
    WTSVirtualChannelClose(channel);
    double elevated = PerCall(10, [&] {
        RunElevatedRegOperation(REG_OP_IMPORT, HKEY_LOCAL_MACHINE, s.hklm.c_str(), image.data(), (DWORD)image.size());
    });
    double user = PerCall(100, [&] { ImportReg(HKEY_CURRENT_USER, s.hkcu.c_str(), image.data(), (DWORD)image.size()); });
    PRINTERENTRY entry = {&s.server[0], 5};
    double devmode = PerCall(1000, [&] { SetDEVMODE(&entry, (const DEVMODEW*)dm.data()); });
    WCHAR tool[MAX_PATH];
    GetModuleFileNameW(nullptr, tool, MAX_PATH);
    lstrcpyW(wcsrchr(tool, L'\\') + 1, L"Quorvane_Admin.exe");
    std::wstring cmd = std::wstring(L"\"") + tool + L"\" Z:\\nonexistent\\request.tmp";
    double start = PerCall(10, [&] {
        STARTUPINFOW si = {sizeof si};
        PROCESS_INFORMATION pi = {};
        std::vector<WCHAR> line(cmd.begin(), cmd.end());
        line.push_back(0);
        if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
            WaitForSingleObject(pi.hProcess, INFINITE);
            CloseHandle(pi.hProcess);
            CloseHandle(pi.hThread);
        }
    });
    printf("apply one printer end to end (device mode %u bytes, two images of %u bytes): %.1f ms\n",
           (unsigned)dm.size(), (unsigned)image.size(), whole);
    printf("  channel exchange (request, reply of %u bytes, session double): %.2f ms\n", (unsigned)reply.size(), exchange);
    printf("  HKLM import through the administrator tool:   %.1f ms\n", elevated);
    printf("  HKCU import (backup, replace):                 %.2f ms\n", user);
    printf("  SetPrinterW level 9 (spooler double):          %.3f ms\n", devmode);
    printf("  bare start of the administrator tool process:  %.1f ms (our share of the HKLM import: %.1f ms)\n",
           start, elevated - start);
}

void IdleFigures()
{
    WtsDouble::Reset();
    PrinterDouble::Reset();
    CLIENTRECORD client = {};
    client.bClientModule = 1;
    const BYTE addr[] = {192, 0, 2, 1};
    client.dwFamily = AF_INET;
    memcpy(client.Address, addr, 4);
    CPrinterList list;
    WatchPass(&client, list);
    SIZE_T before = PrivateBytes();
    for (int i = 0; i < 100; i++)
        WatchPass(&client, list);
    SIZE_T after = PrivateBytes();
    const int n = 20000;   // enough passes for the thread clock's resolution
    double cpu = ThreadCpu(), t = Now();
    for (int i = 0; i < n; i++)
        WatchPass(&client, list);
    double perPass = (ThreadCpu() - cpu) * 1000 / n, wall = (Now() - t) * 1000 / n;
    printf("idle pass (connected, no target printer, log off): %.4f ms CPU, %.4f ms wall per pass; "
           "private bytes %lu KB before, %lu KB after 100 passes\n",
           perPass, wall, (unsigned long)(before / 1024), (unsigned long)(after / 1024));
}

void UpdateFigures(Setup& s)
{
    const DWORD size = 1 << 20;
    std::wstring path = s.folder.File(L"Quorvane_CL32.dll");
    Bytes content(size, 0x5C);
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written;
    WriteFile(f, content.data(), size, &written, nullptr);
    CloseHandle(f);
    WtsDouble::Reset();
    svtest::FakeClient client([](CRdpData&) { return svtest::ReplyBytes(CRdpData(RDP_CMD_DOWNLOAD, 0)); });
    HANDLE channel = WTSVirtualChannelOpen(nullptr, 0, (LPSTR)RDP_CHANNEL_NAME);
    double t = Now();
    WORD status = DownloadFile(channel, path.c_str(), CLIENT_DLL_NAME);
    double update = Now() - t;
    WTSVirtualChannelClose(channel);

    WORD port = 0;
    SOCKET listener = SimLinkListen(&port);
    SOCKET a = INVALID_SOCKET;
    std::thread acceptor([&] { a = SimLinkAccept(listener, 10000); });
    SOCKET b = SimLinkConnect(port);
    acceptor.join();
    std::thread reader([&] {
        DWORD type;
        std::vector<BYTE> payload;
        for (DWORD got = 0; got < size && SimLinkRecv(a, 10000, &type, &payload) == SIMLINK_FRAME;)
            got += (DWORD)payload.size();
    });
    t = Now();
    for (DWORD sent = 0; sent < size; sent += 6400)
        SimLinkSend(b, SIMLINK_SERVER_WRITE, content.data() + sent, 6400 < size - sent ? 6400 : size - sent);
    reader.join();
    double raw = Now() - t;
    SimLinkClose(a);
    SimLinkClose(b);
    SimLinkClose(listener);
    printf("1 MB client file through DownloadFile and the session double (status %u): %.1f MB/s\n", status,
           1.0 / update);
    printf("raw loopback socket in the same run, 6400-byte frames as the simulated link carries them: %.1f MB/s\n",
           1.0 / raw);
}

struct Usage {
    SIZE_T privateBytes;
    DWORD handles, threads;
};

// Wine answers GetProcessHandleCount with 0; the system's handle table
// (NtQuerySystemInformation, SystemHandleInformation) has the figure.
DWORD HandleCount()
{
    DWORD n = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &n) && n)
        return n;
    typedef LONG (WINAPI *QueryFn)(int, void*, ULONG, ULONG*);
    QueryFn query = (QueryFn)(void*)GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation");
    struct Entry { ULONG pid; BYTE type, flags; USHORT value; void* object; ULONG access; };
    std::vector<BYTE> buf(1 << 20);
    LONG status;
    ULONG needed = 0;
    while (query && (status = query(16, buf.data(), (ULONG)buf.size(), &needed)) == (LONG)0xC0000004)
        buf.resize(buf.size() * 2);
    if (!query || status != 0)
        return 0;
    ULONG entries = *(const ULONG*)buf.data();
    const Entry* e = (const Entry*)(buf.data() + sizeof(void*));
    for (ULONG i = 0; i < entries; i++)
        n += e[i].pid == GetCurrentProcessId();
    return n;
}

Usage Measure()
{
    Usage u = {PrivateBytes(), HandleCount(), 0};
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 t = {sizeof t};
    for (BOOL more = Thread32First(snap, &t); more; more = Thread32Next(snap, &t))
        u.threads += t.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snap);
    return u;
}

struct FolderFiles {
    int count = 0, requests = 0;
    ULONGLONG largest = 0;
};

FolderFiles ListFolder(const std::wstring& folder, bool logsOnly = false)
{
    FolderFiles f;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
    for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &found)) {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        if (logsOnly && !PathMatchSpecW(found.cFileName, L"*.log"))
            continue;
        f.count++;
        f.requests += PathMatchSpecW(found.cFileName, L"RDP*.tmp");
        ULONGLONG size = (ULONGLONG)found.nFileSizeHigh << 32 | found.nFileSizeLow;
        if (size > f.largest)
            f.largest = size;
    }
    if (find != INVALID_HANDLE_VALUE)
        FindClose(find);
    return f;
}

// The client module's side of a whole connection: greeting, version (no
// update), and the printer's properties.
Bytes SessionReply(CRdpData& request, const Bytes& properties)
{
    CRdpData reply(request.Cmd(), RDP_RES_OK);
    if (request.Cmd() == RDP_CMD_GETPROPERTIES)
        return properties;
    if (request.Cmd() == RDP_CMD_INITIALIZE)
        reply.AddString(L"benchuser");
    else
        reply.AddDWORD(0);   // GETFILEVER: this client cannot update
    return svtest::ReplyBytes(reply);
}

// 10,000 watch passes back to back in this process, the session dropping
// and coming back every 100 passes, the printer applied on each connection
// (HKLM through the real administrator tool). The real module ends at each
// disconnect and a new instance takes over; here the same process carries
// on, so what is measured is the watch thread's code over 100 connections,
// without the restart.
void LongSession(Setup& s)
{
    const int kPasses = 10000, kConnection = 100, kLogKb = 64, kRotate = 3;
    svtest::TestLog log(kLogKb, kRotate, 4);
    std::wstring temp = s.folder.File(L"temp");
    CreateDirectoryW(temp.c_str(), nullptr);
    SetEnvironmentVariableW(L"TMP", temp.c_str());
    SetEnvironmentVariableW(L"TEMP", temp.c_str());
    PrinterDouble::Reset();
    PrinterDouble::Add(s.server.c_str(), L"Halvren Office Dravo", PRINTER_ATTRIBUTE_TS,
                       PrinterDouble::MakeDevMode(s.server.c_str(), 0x300));
    Bytes properties = svtest::PropertiesReply(svtest::DevMode(L"Bench", 0x300, 512), Image(40), Image(40));
    CLIENTRECORD record = {};
    CPrinterList list;
    LONG toolRuns = GetLogonDoubleTrace()->calls;
    int restarts = 0, applied = 0;
    Usage at[3];
    double t = Now();
    for (int pass = 0; pass < kPasses;) {
        // A fresh session double and client per connection: both keep every
        // request they saw, which is the harness's memory, not the module's.
        WtsDouble::Reset();
        svtest::FakeClient client([&](CRdpData& r) {
            applied += r.Cmd() == RDP_CMD_GETPROPERTIES;
            return SessionReply(r, properties);
        });
        for (int i = 0; i < kConnection; i++, pass++) {
            if (i == kConnection - 1)
                WtsDouble::SetConnectState(WTSDisconnected);
            WatchPass(&record, list);
            MSG msg;   // the restart each disconnect asks for
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
                restarts += msg.message == WM_COMMAND;
            if (pass == 0 || pass == kPasses / 2 || pass == kPasses - 1)
                at[pass == 0 ? 0 : pass == kPasses - 1 ? 2 : 1] = Measure();
        }
    }
    double seconds = Now() - t;
    FolderFiles logs = ListFolder(log.Folder(), true), temps = ListFolder(temp);
    printf("long session: %d passes in %.1f s, %d connections, printer applied %d times "
           "(%ld administrator tool runs), %d restarts asked for\n",
           kPasses, seconds, kPasses / kConnection, applied, GetLogonDoubleTrace()->calls - toolRuns, restarts);
    static const char* names[] = {"start", "middle", "end"};
    for (int i = 0; i < 3; i++)
        printf("  %-6s private %6lu KB, handles %4lu, threads %2lu\n", names[i],
               (unsigned long)(at[i].privateBytes / 1024), at[i].handles, at[i].threads);
    printf("  log: %d files (limit %d), largest %llu bytes (limit %d); temporary folder: %d files, %d request files\n",
           logs.count, kRotate + 1, logs.largest, kLogKb * 1024, temps.count, temps.requests);
    // The first connection warms up heaps and caches: the second half must add nothing.
    bool flat = at[2].handles <= at[1].handles + 2 && at[2].threads == at[1].threads &&
                at[2].privateBytes <= at[1].privateBytes + 256 * 1024;
    bool tidy = logs.count <= kRotate + 1 && logs.largest <= (ULONGLONG)kLogKb * 1024 && temps.count == 0;
    const int connections = kPasses / kConnection;   // each: import, then the backup dropped
    bool complete = applied == connections && restarts == connections &&
                    GetLogonDoubleTrace()->calls - toolRuns == 2 * connections;
    printf("  verdict: %s\n", flat && tidy && complete ? "flat, within limits, nothing left behind"
                              : !complete ? "NOT EVERY CONNECTION APPLIED" : !flat ? "GROWING" : "FILES LEFT OR LOG OVER ITS LIMITS");
    SetEnvironmentVariableW(L"TMP", nullptr);
    SetEnvironmentVariableW(L"TEMP", nullptr);
}

}  // namespace

int main()
{
    Setup s;
    ApplyFigures(s);
    IdleFigures();
    UpdateFigures(s);
    LongSession(s);
    return 0;
}
