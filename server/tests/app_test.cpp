#include <gtest/gtest.h>
#include <windows.h>
#include <wtsapi32.h>
#include <process.h>
#include <atomic>
#include <string>
#include <thread>
#include "app.h"
#include "module.h"
#include "server.h"
#include "testutil.h"
#include "tool_runner.h"
#include "wts_double.h"
#include "wtsio.h"

namespace {

TEST(WatchInterval, OutsideFiveTo32767BecomesThirtySeconds)
{
    svtest::TempFolder folder(L"interval");
    std::wstring ini = folder.File(L"Quorvane.ini");
    static const struct {
        LPCWSTR value;
        int seconds;
    } cases[] = {
        {L"4", 30}, {L"0", 30}, {L"-1", 30}, {L"-30", 30}, {L"32768", 30}, {L"99999999999", 30},
        {L"5", 5}, {L"32767", 32767}, {L"60", 60}, {L"abc", 30}, {nullptr, 30},
    };
    for (const auto& c : cases) {
        WritePrivateProfileStringW(L"Server", L"Interval", c.value, ini.c_str());
        EXPECT_EQ(c.seconds, ReadWatchInterval(ini.c_str())) << (c.value ? c.value : L"(missing)");
    }
}

// A child process of this test program that sleeps for the given time.
HANDLE StartSleeper(DWORD ms, DWORD* pid)
{
    WCHAR exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    SetEnvironmentVariableW(L"QV_SLEEP_MS", std::to_wstring(ms).c_str());
    PROCESS_INFORMATION pi = {};
    if (!StartProgram(exe, L"--gtest_also_run_disabled_tests --gtest_filter=Helper.DISABLED_Sleep", &pi)) {
        ADD_FAILURE() << "CreateProcess error " << GetLastError();
        return nullptr;
    }
    CloseHandle(pi.hThread);
    *pid = pi.dwProcessId;
    return pi.hProcess;
}

TEST(Helper, DISABLED_Sleep)
{
    WCHAR ms[32] = L"0";
    GetEnvironmentVariableW(L"QV_SLEEP_MS", ms, ARRAYSIZE(ms));
    Sleep(_wtoi(ms));
}

TEST(PreviousInstance, NothingToWaitForStartsAtOnce)
{
    DWORD pid = 99;
    EXPECT_TRUE(WaitPreviousInstance(L"", &pid));
    EXPECT_EQ(0u, pid);
    EXPECT_TRUE(WaitPreviousInstance(nullptr, &pid));
    EXPECT_TRUE(WaitPreviousInstance(L"junk", &pid));
    EXPECT_EQ(0u, pid);

    DWORD dead = 0;
    HANDLE child = StartSleeper(0, &dead);
    ASSERT_TRUE(child);
    WaitForSingleObject(child, 30000);
    CloseHandle(child);
    std::wstring cmd = std::to_wstring(dead) + L" trailing";
    DWORD start = GetTickCount();
    EXPECT_TRUE(WaitPreviousInstance(cmd.c_str(), &pid));
    EXPECT_EQ(dead, pid);
    EXPECT_LT(GetTickCount() - start, 1000u);
}

TEST(PreviousInstance, WaitsForARunningProcessAndGivesUpAfterTheTimeOut)
{
    DWORD pid = 0, got = 0;
    HANDLE child = StartSleeper(2500, &pid);
    ASSERT_TRUE(child);
    std::wstring cmd = std::to_wstring(pid);
    EXPECT_FALSE(WaitPreviousInstance(cmd.c_str(), &got, 200));
    EXPECT_EQ(pid, got);
    EXPECT_TRUE(WaitPreviousInstance(cmd.c_str(), &got, 30000));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(child, 0)) << "returned before the process ended";
    CloseHandle(child);
}

// The module built for release waits a minute for the instance it replaces
// (the test program links the release definition, not the simulation's).
TEST(PreviousInstance, TheReleaseWaitIsAMinute)
{
    EXPECT_EQ(60000u, PreviousInstanceWait());
}

// The lifecycle's end, in process: a stand-in pass that is blocked in a
// channel read, which only the exit event ends.
class Ending : public ::testing::Test {
protected:
    void SetUp() override
    {
        WtsDouble::Reset();
        WNDCLASSW wc = {};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"svtest_window";
        RegisterClassW(&wc);
        wnd = CreateWindowW(L"svtest_window", L"", 0, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance, nullptr);
        ASSERT_TRUE(wnd) << "CreateWindow error " << GetLastError();
        g_hMainWnd = wnd;
        g_nUseTimer = 1;
        g_dwInterval = 100;
    }
    void TearDown() override
    {
        if (IsWindow(wnd))
            DestroyWindow(wnd);
        if (g_hThread)
            CloseHandle(g_hThread);
        g_hThread = nullptr;
    }
    static unsigned __stdcall BlockedPass(void* arg)
    {
        auto* self = (Ending*)arg;
        HANDLE ch = WTSVirtualChannelOpen(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, (LPSTR) "Quorvex");
        BYTE buf[8];
        self->reading = true;
        ReadBuf(ch, buf, sizeof buf);
        Sleep(300);   // the rest of the pass after the read gave up
        WTSVirtualChannelClose(ch);
        self->ended = true;
        return 0;
    }
    void StartPass()
    {
        g_hThread = (HANDLE)_beginthreadex(nullptr, 0, BlockedPass, this, 0, nullptr);
        ASSERT_TRUE(g_hThread);
        while (!reading)
            Sleep(10);
        Sleep(600);   // at least one read has timed out and gone on
    }

    svtest::TestLog log;
    svtest::TestEvents events;
    HWND wnd = nullptr;
    std::atomic<bool> reading{false}, ended{false};
};

TEST_F(Ending, EndOfSessionReturnsOnlyAfterThePassHasEnded)
{
    StartPass();
    OnClose(wnd, TRUE);
    EXPECT_TRUE(ended) << "the query returned while the watch thread still ran";
    EXPECT_EQ(nullptr, g_hThread);
    EXPECT_EQ(nullptr, g_hEvent[EVENT_EXIT]) << "the end of the session closes the events";
    EXPECT_TRUE(IsWindow(wnd)) << "the window stays for the default procedure";
    EXPECT_TRUE(log.Has(",KillTimer", "SetIntervalTimer"));
    EXPECT_TRUE(log.Has(",WaitForSingleObject,thread", "WM_QUERYENDSESSION"));
    EXPECT_TRUE(log.Has(",CloseHandle(event[0])", "ExitInstance"));
    ExitInstance();   // the second run at program end finds nothing to close
}

TEST_F(Ending, CloseFromOutsideStopsTheThreadBeforeWaiting)
{
    StartPass();
    std::atomic<bool> returned{false}, rescued{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 100 && !returned; i++)
            Sleep(100);
        if (!returned) {
            rescued = true;
            SetEvent(g_hEvent[EVENT_EXIT]);   // let the test end instead of hanging
        }
    });
    OnClose(wnd, FALSE);
    returned = true;
    watchdog.join();
    EXPECT_FALSE(rescued) << "OnClose waited for a thread that nobody told to stop";
    EXPECT_TRUE(ended);
    EXPECT_FALSE(IsWindow(wnd));
    EXPECT_TRUE(log.Has(",DestroyWindow", "OnClose"));
    EXPECT_TRUE(log.Has(",exit", "ReadBuf")) << "the read was not ended by the exit event";
}

TEST_F(Ending, WatchLoopRunsAPassPerTimerSignalAndClosesTheWindowAtExit)
{
    // A console session: every pass is short, nothing to greet.
    WtsDouble::Reset();
    WtsDouble::SetProtocol(0);
    g_hThread = (HANDLE)_beginthreadex(nullptr, 0, WatchEnvProc, nullptr, 0, nullptr);
    ASSERT_TRUE(g_hThread);
    for (int i = 0; i < 3; i++) {
        Sleep(50);
        SetEvent(g_hEvent[EVENT_TIMER]);
    }
    Sleep(300);   // and a time-out or two of the 100 ms interval
    events.SetExit();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_hThread, 5000));
    EXPECT_GE(log.Count("LOOP BEGIN", "WatchEnvProc"), 4);
    EXPECT_TRUE(log.Has(",WaitForMultipleObjects(exit),Done", "WatchEnvProc"));
    MSG msg;
    EXPECT_TRUE(PeekMessageW(&msg, wnd, WM_CLOSE, WM_CLOSE, PM_REMOVE)) << "no WM_CLOSE posted";
}

}  // namespace
