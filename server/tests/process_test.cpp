// The server module as processes under Wine: the simulation build, joined to
// the session double, one user and session number per test (set through the
// simulation file) so that settings, log file and named objects are the
// test's own.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>
#include <tlhelp32.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>
#include "frame.h"
#include "module.h"
#include "raii.h"
#include "regops.h"
#include "testutil.h"
#include "tool_runner.h"

#ifndef QV_SIM_EXE
#error QV_SIM_EXE must name the simulation build of the server module
#endif

namespace {

std::wstring SpecialFolder(int csidl)
{
    WCHAR path[MAX_PATH] = L"";
    SHGetSpecialFolderPathW(nullptr, path, csidl, TRUE);
    return path;
}

std::wstring CommonIni()
{
    return SpecialFolder(CSIDL_COMMON_APPDATA) + L"\\Halvren KT\\Quorvane\\Quorvane.ini";
}

// A string of the server module's own string table.
std::wstring ServerString(UINT id)
{
    HMODULE m = LoadLibraryExW(WinPath(QV_SIM_EXE).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    WCHAR text[512] = L"";
    if (m) {
        LoadStringW(m, id, text, ARRAYSIZE(text));
        FreeLibrary(m);
    }
    return text;
}

struct FoundWindow {
    DWORD pid;
    LPCWSTR cls;
    HWND hwnd;
    bool visibleOnly;   // the status window is a dialog too, hidden until asked for
};

BOOL CALLBACK FindProc(HWND hwnd, LPARAM lp)
{
    auto* f = (FoundWindow*)lp;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    WCHAR cls[64];
    GetClassNameW(hwnd, cls, ARRAYSIZE(cls));
    if ((f->pid == 0 || pid == f->pid) && lstrcmpW(cls, f->cls) == 0 && (!f->visibleOnly || IsWindowVisible(hwnd))) {
        f->hwnd = hwnd;
        return FALSE;
    }
    return TRUE;
}

HWND FindProcessWindow(DWORD pid, LPCWSTR cls, DWORD timeoutMs, bool visibleOnly = false)
{
    DWORD start = GetTickCount();
    do {
        FoundWindow f = {pid, cls, nullptr, visibleOnly};
        EnumWindows(FindProc, (LPARAM)&f);
        if (f.hwnd)
            return f.hwnd;
        Sleep(50);
    } while (GetTickCount() - start < timeoutMs);
    return nullptr;
}

// One user of the simulated terminal server: per-user settings with the
// finest log detail into a folder of the test's own.
class SimUser {
public:
    explicit SimUser(LPCWSTR tag) : folder_(tag)
    {
        FormatStr(name_, ARRAYSIZE(name_), L"sv%s%lu", tag, GetCurrentProcessId());
        std::wstring dir = SpecialFolder(CSIDL_APPDATA) + L"\\Halvren KT\\Quorvane";
        SHCreateDirectoryExW(nullptr, dir.c_str(), nullptr);
        userIni_ = dir + L"\\Quorvane_" + name_ + L".ini";
        WritePrivateProfileStringW(L"Server", L"LogFolder", folder_.path().c_str(), userIni_.c_str());
        WritePrivateProfileStringW(L"Server", L"LogLevel", L"5", userIni_.c_str());
        log_ = folder_.File((std::wstring(L"Quorvane_SV(") + name_ + L").log").c_str());
    }
    ~SimUser() { DeleteFileW(userIni_.c_str()); }
    LPCWSTR name() const { return name_; }
    const std::wstring& userIni() const { return userIni_; }
    std::wstring File(LPCWSTR n) const { return folder_.File(n); }

    std::vector<std::string> Lines() const
    {
        std::vector<std::string> lines;
        FILE* f = _wfopen(log_.c_str(), L"rb");
        if (!f)
            return lines;
        char buf[4096];
        while (fgets(buf, sizeof buf, f)) {
            std::string s(buf);
            while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
                s.pop_back();
            lines.push_back(s);
        }
        fclose(f);
        return lines;
    }
    // Index of the first line (from `from` on) containing text, or -1.
    int Find(const std::string& text, int from = 0) const
    {
        auto lines = Lines();
        for (int i = from; i < (int)lines.size(); i++)
            if (lines[i].find(text) != std::string::npos)
                return i;
        return -1;
    }
    bool WaitFor(const std::string& text, DWORD timeoutMs, int from = 0) const
    {
        DWORD start = GetTickCount();
        do {
            if (Find(text, from) >= 0)
                return true;
            Sleep(50);
        } while (GetTickCount() - start < timeoutMs);
        return false;
    }
    std::string Dump() const
    {
        std::string all;
        for (auto& l : Lines())
            all += l + "\n";
        return all;
    }

private:
    svtest::TempFolder folder_;
    WCHAR name_[64];
    std::wstring userIni_, log_;
};

// One instance of the simulation build.
class SimServer {
public:
    SimServer(const SimUser& user, DWORD session, LPCWSTR cmdLine = L"", LPCWSTR exe = nullptr)
    {
        std::wstring sim = user.File((L"session" + std::to_wstring(session) + L".ini").c_str());
        WritePrivateProfileStringW(L"Session", L"Id", std::to_wstring(session).c_str(), sim.c_str());
        WritePrivateProfileStringW(L"Session", L"UserName", user.name(), sim.c_str());
        std::wstring path = exe ? exe : WinPath(QV_SIM_EXE);
        SetEnvironmentVariableW(L"QVSIM", sim.c_str());
        PROCESS_INFORMATION pi = {};
        if (StartProgram(path, cmdLine ? cmdLine : L"", &pi)) {
            CloseHandle(pi.hThread);
            process_ = pi.hProcess;
            pid_ = pi.dwProcessId;
        }
        SetEnvironmentVariableW(L"QVSIM", nullptr);
    }
    ~SimServer()
    {
        if (process_ && Running()) {
            if (HWND w = Window(0))
                PostMessageW(w, WM_CLOSE, 0, 0);
            if (WaitForSingleObject(process_, 10000) != WAIT_OBJECT_0)
                TerminateProcess(process_, 99);
        }
        if (process_)
            CloseHandle(process_);
    }
    bool Started() const { return process_ != nullptr; }
    DWORD pid() const { return pid_; }
    HANDLE process() const { return process_; }
    bool Running() const { return WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }
    HWND Window(DWORD timeoutMs = 10000) const { return FindProcessWindow(pid_, L"QUORVANE_SV", timeoutMs); }
    HWND Box(DWORD timeoutMs = 10000) const { return FindProcessWindow(pid_, L"#32770", timeoutMs, true); }
    bool Ended(DWORD timeoutMs, DWORD* code = nullptr) const
    {
        if (WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0)
            return false;
        if (code)
            GetExitCodeProcess(process_, code);
        return true;
    }

private:
    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
};

// The process that `parent` started (the restarted instance), or 0.
DWORD ChildOf(DWORD parent)
{
    DWORD child = 0;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W e = {sizeof e};
    for (BOOL ok = Process32FirstW(snap, &e); ok && !child; ok = Process32NextW(snap, &e))
        if (e.th32ParentProcessID == parent && e.th32ProcessID != parent)
            child = e.th32ProcessID;
    CloseHandle(snap);
    return child;
}

DWORD UniqueSession(int n)
{
    return 100 + (GetCurrentProcessId() % 5000) * 4 + n;
}

TEST(ServerProcess, IntervalOutsideItsRangeBecomesThirtySeconds)
{
    std::wstring ini = CommonIni();
    WCHAR saved[64];
    DWORD had = GetPrivateProfileStringW(L"Server", L"Interval", L"\x1", saved, ARRAYSIZE(saved), ini.c_str());
    SHCreateDirectoryExW(nullptr, (SpecialFolder(CSIDL_COMMON_APPDATA) + L"\\Halvren KT\\Quorvane").c_str(), nullptr);
    static const struct {
        LPCWSTR value;
        const char* line;
    } cases[] = {
        {L"4", ",SetTimer,interval 30000(msec)"},     {L"0", ",SetTimer,interval 30000(msec)"},
        {L"-7", ",SetTimer,interval 30000(msec)"},    {L"32768", ",SetTimer,interval 30000(msec)"},
        {L"5", ",SetTimer,interval 5000(msec)"},      {L"32767", ",SetTimer,interval 32767000(msec)"},
    };
    SimUser user(L"ivl");
    for (const auto& c : cases) {
        WritePrivateProfileStringW(L"Server", L"Interval", c.value, ini.c_str());
        int from = (int)user.Lines().size();
        SimServer sv(user, UniqueSession(0));
        ASSERT_TRUE(sv.Started());
        EXPECT_TRUE(user.WaitFor(c.line, 15000, from)) << "Interval " << c.value << "\n" << user.Dump();
    }
    WritePrivateProfileStringW(L"Server", L"Interval", had && saved[0] != 1 ? saved : nullptr, ini.c_str());
}

TEST(ServerProcess, SecondStartInTheSameSessionIsRefusedAndLeavesTheFirstAlone)
{
    SimUser user(L"two");
    DWORD session = UniqueSession(0);
    SimServer first(user, session);
    ASSERT_TRUE(first.Window()) << user.Dump();
    SimServer second(user, session);
    HWND box = second.Box();
    ASSERT_TRUE(box) << "no message from the second instance\n" << user.Dump();
    EXPECT_EQ(ServerString(10000), MessageBoxText(box));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    DWORD code = 99;
    EXPECT_TRUE(second.Ended(10000, &code));
    EXPECT_EQ(0u, code);
    std::string mutexLine = ",QUORVANE_SV-" + std::to_string(session) + ",ERROR_ALREADY_EXISTS";
    EXPECT_GE(user.Find(mutexLine), 0) << mutexLine << "\n" << user.Dump();
    EXPECT_TRUE(first.Running());
    EXPECT_TRUE(first.Window(0)) << "the first instance lost its window";
}

TEST(ServerProcess, AnotherSessionOfTheSameUserRuns)
{
    SimUser user(L"ses");
    SimServer a(user, UniqueSession(0));
    SimServer b(user, UniqueSession(1));
    EXPECT_TRUE(a.Window());
    EXPECT_TRUE(b.Window());
    EXPECT_FALSE(b.Box(500)) << MessageBoxText(b.Box(0));
    EXPECT_TRUE(a.Running() && b.Running());
}

TEST(ServerProcess, StartNamingADeadProcessStartsAtOnce)
{
    SimUser user(L"dead");
    DWORD start = GetTickCount();
    SimServer sv(user, UniqueSession(0), L"4000000");
    EXPECT_TRUE(sv.Window(15000));
    EXPECT_LT(GetTickCount() - start, 15000u);
    EXPECT_GE(user.Find(",previous instance 4000000,gone"), 0);
}

TEST(ServerProcess, ExitAnsweredNoChangesNothing)
{
    SimUser user(L"exit");
    SimServer sv(user, UniqueSession(0));
    HWND wnd = sv.Window();
    ASSERT_TRUE(wnd);
    PostMessageW(wnd, WM_COMMAND, IDM_EXIT, 0);
    HWND box = sv.Box();
    ASSERT_TRUE(box);
    EXPECT_EQ(ServerString(202), MessageBoxText(box));
    PostMessageW(box, WM_COMMAND, IDNO, 0);
    Sleep(1500);
    EXPECT_TRUE(sv.Running());
    EXPECT_TRUE(sv.Window(0));
    EXPECT_LT(user.Find("IDM_EXIT,SetEvent"), 0);
}

TEST(ServerProcess, ExitAnsweredYesEndsTheModule)
{
    SimUser user(L"yes");
    SimServer sv(user, UniqueSession(0));
    HWND wnd = sv.Window();
    ASSERT_TRUE(wnd);
    PostMessageW(wnd, WM_COMMAND, IDM_EXIT, 0);
    HWND box = sv.Box();
    ASSERT_TRUE(box);
    PostMessageW(box, WM_COMMAND, IDYES, 0);
    DWORD code = 99;
    EXPECT_TRUE(sv.Ended(15000, &code)) << user.Dump();
    EXPECT_EQ(0u, code);
    int set = user.Find("IDM_EXIT,SetEvent");
    EXPECT_GE(set, 0);
    EXPECT_GT(user.Find(",WaitForMultipleObjects(exit),Done", set), set);
    EXPECT_GT(user.Find("LogEnd", set), set);
}

TEST(ServerProcess, EndOfSessionReturnsAfterTheWatchThreadHasEnded)
{
    SimUser user(L"eos");
    SimServer sv(user, UniqueSession(0));
    HWND wnd = sv.Window();
    ASSERT_TRUE(wnd);
    ASSERT_TRUE(user.WaitFor("LOOP END", 10000));
    DWORD_PTR answer = 0;
    ASSERT_TRUE(SendMessageTimeoutW(wnd, WM_QUERYENDSESSION, 0, 0, SMTO_BLOCK, 20000, &answer));
    EXPECT_EQ(TRUE, (BOOL)answer) << "the end of the session must be allowed";
    auto lines = user.Lines();
    int threadEnd = -1, queryEnd = -1;
    for (int i = 0; i < (int)lines.size(); i++) {
        if (lines[i].find(",<,WatchEnvProc,") != std::string::npos)
            threadEnd = i;
        if (lines[i].find(",<,WM_QUERYENDSESSION,") != std::string::npos)
            queryEnd = i;
    }
    ASSERT_GE(threadEnd, 0) << user.Dump();
    EXPECT_GT(queryEnd, threadEnd) << user.Dump();
    EXPECT_GE(user.Find(",CloseHandle(mutex)"), 0);
    EXPECT_TRUE(sv.Ended(15000)) << "the thread's WM_CLOSE ends the module";
}

// A watch thread that never comes back (a spooler call that does not
// return) does not hold up the end of the session: the module waits 10 s
// for it, says so in its log, and ends all the same.
TEST(ServerProcess, EndOfSessionGivesUpOnAStuckWatchThreadAfterTenSeconds)
{
    SimUser user(L"stuck");
    DWORD session = UniqueSession(0);
    std::wstring sim = user.File((L"session" + std::to_wstring(session) + L".ini").c_str());
    WritePrivateProfileStringW(L"Spooler", L"Hang", L"1", sim.c_str());
    SimServer sv(user, session);
    HWND wnd = sv.Window();
    ASSERT_TRUE(wnd);
    ASSERT_TRUE(user.WaitFor("LOOP BEGIN", 10000));
    DWORD start = GetTickCount();
    DWORD_PTR answer = 0;
    SendMessageTimeoutW(wnd, WM_QUERYENDSESSION, 0, 0, SMTO_BLOCK, 30000, &answer);
    ASSERT_TRUE(sv.Ended(20000)) << user.Dump();
    DWORD spent = GetTickCount() - start;
    EXPECT_GE(spent + 200, 10000u);
    EXPECT_LT(spent, 15000u);
    EXPECT_GE(user.Find(",not ended after 10000(msec),ending without it"), 0) << user.Dump();
    EXPECT_LT(user.Find(",<,WatchEnvProc,"), 0) << "the thread never ended";
}

TEST(ServerProcess, RestartWaitsForTheOldInstanceThenTakesTheMutex)
{
    SimUser user(L"rst");
    // A program folder with blanks, as under Program Files.
    std::wstring dir = user.File(L"Program Files x");
    CreateDirectoryW(dir.c_str(), nullptr);
    std::wstring exe = dir + L"\\Quorvane_SV_sim.exe";
    ASSERT_TRUE(CopyFileW(WinPath(QV_SIM_EXE).c_str(), exe.c_str(), FALSE));
    DWORD session = UniqueSession(0), oldPid = 0;
    {
        SimServer old(user, session, L"", exe.c_str());
        oldPid = old.pid();
        HWND wnd = old.Window();
        ASSERT_TRUE(wnd);
        PostMessageW(wnd, WM_COMMAND, IDM_RESTART, 0);
        EXPECT_TRUE(old.Ended(15000)) << user.Dump();
    }
    ASSERT_TRUE(user.WaitFor(",Done", 15000, user.Find(",restart Server Module"))) << user.Dump();
    DWORD child = ChildOf(oldPid);
    ASSERT_NE(0u, child) << "no restarted instance";
    HWND fresh = FindProcessWindow(child, L"QUORVANE_SV", 15000);
    int restart = user.Find(",restart Server Module");
    int oldEnd = user.Find("LogEnd", restart);
    int mutex = user.Find(",CreateMutex,", oldEnd);
    EXPECT_GE(restart, 0);
    EXPECT_GT(oldEnd, restart);
    EXPECT_GT(mutex, oldEnd) << "the new instance took the mutex before the old one ended\n" << user.Dump();
    EXPECT_LT(user.Find("ERROR_ALREADY_EXISTS"), 0);
    EXPECT_GT(user.Find(",previous instance " + std::to_string(oldPid) + ",gone", restart), restart)
        << "the new instance did not learn which process to wait for";
    ASSERT_TRUE(fresh);
    DWORD pid = 0;
    GetWindowThreadProcessId(fresh, &pid);
    HANDLE p = OpenProcess(SYNCHRONIZE, FALSE, pid);
    PostMessageW(fresh, WM_CLOSE, 0, 0);
    if (p) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(p, 15000));
        CloseHandle(p);
    }
}

TEST(ServerProcess, OlderPerUserFileIsTakenOverOnceAndNeverAgain)
{
    SimUser user(L"old");
    std::wstring oldDir = SpecialFolder(CSIDL_APPDATA) + L"\\HalvrenKT\\Quorvane";
    SHCreateDirectoryExW(nullptr, oldDir.c_str(), nullptr);
    std::wstring oldIni = oldDir + L"\\Quorvane_" + user.name() + L".ini";
    CopyFileW(user.userIni().c_str(), oldIni.c_str(), FALSE);
    WritePrivateProfileStringW(L"Server", L"LogRotate", L"7", oldIni.c_str());
    DeleteFileW(user.userIni().c_str());
    {
        SimServer sv(user, UniqueSession(0));
        EXPECT_TRUE(sv.Window());
    }
    EXPECT_EQ(7u, GetPrivateProfileIntW(L"Server", L"LogRotate", 0, user.userIni().c_str()));
    WritePrivateProfileStringW(L"Server", L"LogRotate", L"9", oldIni.c_str());
    {
        SimServer sv(user, UniqueSession(0));
        EXPECT_TRUE(sv.Window());
    }
    EXPECT_EQ(7u, GetPrivateProfileIntW(L"Server", L"LogRotate", 0, user.userIni().c_str()));
    DeleteFileW(oldIni.c_str());
}

// The release build's wait is a minute (PreviousInstance.TheReleaseWaitIsAMinute);
// the simulation build here waits three seconds of it.
TEST(ServerProcess, PreviousInstanceThatDoesNotEndIsLeftAloneAfterTheWait)
{
    SimUser user(L"slow");
    DWORD session = UniqueSession(0);
    SimServer first(user, session);
    ASSERT_TRUE(first.Window());
    std::wstring cmd = std::to_wstring(first.pid());
    SetEnvironmentVariableW(L"QV_SIM_PREVIOUS_WAIT_MS", L"3000");
    SimServer second(user, session, cmd.c_str());
    SetEnvironmentVariableW(L"QV_SIM_PREVIOUS_WAIT_MS", nullptr);
    DWORD code = 99;
    ASSERT_TRUE(second.Ended(30000, &code)) << "still waiting after 30 s";
    EXPECT_EQ(0u, code);
    EXPECT_GE(user.Find("still running after 3000 msec,give up"), 0) << user.Dump();
    EXPECT_LT(user.Find("ERROR_ALREADY_EXISTS"), 0) << "it must not try the mutex";
    EXPECT_TRUE(first.Running());
}

// An instance killed while its administrator tool ran left its request file
// in the user's temporary folder: the next instance removes it at start-up,
// and leaves alone a request still in use and another program's file.
TEST(ServerProcess, StartRemovesRequestFilesThatAKilledInstanceLeft)
{
    SimUser user(L"req");
    std::wstring temp = user.File(L"temp");
    CreateDirectoryW(temp.c_str(), nullptr);
    const WCHAR path[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\P\\PrinterDriverData";
    REGREQUESTHEADER h = {REG_OP_RESTORE, 0, (ULONGLONG)(LONG_PTR)HKEY_LOCAL_MACHINE, sizeof path, 0};
    auto plant = [&](LPCWSTR name, const void* header, DWORD cb) {
        std::wstring file = temp + L"\\" + name;
        UniqueFile f(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD n;
        WriteFile(f.get(), header, cb, &n, nullptr);
        WriteFile(f.get(), path, sizeof path, &n, nullptr);
        return file;
    };
    std::wstring left = plant(L"RDP1A.tmp", &h, sizeof h), busy = plant(L"RDP1B.tmp", &h, sizeof h);
    std::wstring foreign = plant(L"RDP1C.tmp", "not a request of ours", 21);
    UniqueFile hold(CreateFileW(busy.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    SetEnvironmentVariableW(L"TMP", temp.c_str());
    SimServer sv(user, UniqueSession(0));
    SetEnvironmentVariableW(L"TMP", nullptr);
    ASSERT_TRUE(sv.Window()) << user.Dump();
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(left.c_str()));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(busy.c_str()));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(foreign.c_str()));
    EXPECT_GE(user.Find(",deleted request files,1"), 0) << user.Dump();
}

}  // namespace

namespace {

// The watch loop as the module runs it, at the shortest interval: a console
// session is never looked at; a Remote Desktop client without the add-in is
// reported once, after which the passes stay quiet.
TEST(ServerProcess, WatchLoopWithoutAClientModule)
{
    std::wstring ini = CommonIni();
    WCHAR saved[64];
    DWORD had = GetPrivateProfileStringW(L"Server", L"Interval", L"\x1", saved, ARRAYSIZE(saved), ini.c_str());
    WritePrivateProfileStringW(L"Server", L"Interval", L"5", ini.c_str());
    static const struct {
        LPCWSTR protocol;
        const char* each;    // on every pass
        const char* once;    // on the first pass only
    } cases[] = {
        {L"0", "20h", nullptr},
        {L"2", ",IP not changed", ",client module not found"},
    };
    SimUser user(L"wlp");
    for (const auto& c : cases) {
        DWORD session = UniqueSession(c.protocol[0] - L'0');
        std::wstring sim = user.File((L"session" + std::to_wstring(session) + L".ini").c_str());
        WritePrivateProfileStringW(L"Session", L"Protocol", c.protocol, sim.c_str());
        int from = (int)user.Lines().size();
        SimServer sv(user, session);
        ASSERT_TRUE(sv.Started());
        int loops = 0, each = 0, once = 0, greeted = 0;
        for (DWORD start = GetTickCount(); loops < 2 && GetTickCount() - start < 20000; Sleep(200)) {
            loops = each = once = greeted = 0;
            auto lines = user.Lines();
            for (size_t i = from; i < lines.size(); i++) {
                loops += lines[i].find("LOOP END") != std::string::npos;
                each += lines[i].find(c.each) != std::string::npos;
                once += c.once && lines[i].find(c.once) != std::string::npos;
                greeted += lines[i].find("OnNewClient") != std::string::npos;
            }
        }
        EXPECT_EQ(2, loops) << user.Dump();
        EXPECT_GE(each, c.once ? 1 : 2);
        EXPECT_EQ(c.once ? 1 : 0, once);
        EXPECT_EQ(c.once != nullptr, greeted > 0);
    }
    WritePrivateProfileStringW(L"Server", L"Interval", had && saved[0] != 1 ? saved : nullptr, ini.c_str());
}

}  // namespace
