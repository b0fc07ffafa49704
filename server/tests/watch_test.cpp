// One pass of the watch loop at a time, against the session double and a
// scripted client module; and the loop's end on an exit request.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>
#include <process.h>
#include <functional>
#include <map>
#include <memory>
#include <wtsapi32.h>
#include "drivers.h"
#include "app.h"
#include "fakeclient.h"
#include "frame.h"
#include "module.h"
#include "notify.h"
#include "printer_double.h"
#include "rdpcmd.h"
#include "resource.h"
#include "server.h"
#include "testutil.h"
#include "watch.h"
#include "wts_double.h"

using svtest::Bytes;
using PrinterDouble::MakeDevMode;

namespace {

// A client module that greets back and may not update itself.
Bytes Answer(CRdpData& request)
{
    if (request.Cmd() == RDP_CMD_INITIALIZE) {
        CRdpData reply(RDP_CMD_INITIALIZE, RDP_RES_OK);
        reply.AddString(L"pcuser");
        return svtest::ReplyBytes(reply);
    }
    if (request.Cmd() == RDP_CMD_GETFILEVER) {
        CRdpData reply(RDP_CMD_GETFILEVER, RDP_RES_OK);
        reply.AddDWORD(0);
        reply.AddString(CLIENT_DLL_NAME);
        reply.AddDWORD(0x00010002);
        reply.AddDWORD(0x00000005);
        return svtest::ReplyBytes(reply);
    }
    if (request.Cmd() == RDP_CMD_GETPROPERTIES)   // empty trees: the device mode alone
        return svtest::PropertiesReply(svtest::DevMode(L"Local", 0x300), Bytes(), Bytes());
    return Bytes();
}

bool WaitFor(std::function<bool()> done, DWORD ms)
{
    for (DWORD start = GetTickCount(); !done(); Sleep(5))
        if (GetTickCount() - start > ms)
            return false;
    return true;
}

class Watch : public ::testing::Test {
public:
    void SetUp() override
    {
        WtsDouble::Reset();
        PrinterDouble::Reset();
        ReadTargetDriver(folder.File(L"nodrivers.ini").c_str());
        g_hMainWnd = nullptr;   // posts go to this thread's queue
        DrainPosts();
    }
    // WM_COMMAND IDM_RESTART messages posted since the last call.
    int DrainPosts()
    {
        int restarts = 0;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            restarts += msg.message == WM_COMMAND && LOWORD(msg.wParam) == IDM_RESTART;
        return restarts;
    }
    void Passes(int n)
    {
        for (int i = 0; i < n; i++)
            WatchPass(&client, list);
    }
    svtest::TestLog log;
    svtest::TestEvents events;
    svtest::TempFolder folder{L"watch"};
    CLIENTRECORD client = {};
    CPrinterList list;
};

TEST_F(Watch, ConsoleSessionDoesNothing)
{
    WtsDouble::SetProtocol(0);
    svtest::FakeClient pc(Answer);
    Passes(3);
    EXPECT_EQ(3, log.Count("20h", "GetClientAddr"));
    EXPECT_EQ(0, WtsDouble::WriteCalls());
    EXPECT_EQ(0, DrainPosts());
}

TEST_F(Watch, NewClientIsGreetedOnceAndAgainWhenItsAddressChanges)
{
    svtest::FakeClient pc(Answer);
    list.AddRedirectPrinter(L"left over (redirected 1)");
    Passes(2);
    EXPECT_EQ(1, pc.Count(RDP_CMD_INITIALIZE));
    EXPECT_EQ(1, pc.Count(RDP_CMD_GETFILEVER));
    EXPECT_EQ(0, list.Count());   // every printer of a new connection starts afresh
    EXPECT_TRUE(log.Has(",Initialize OK,pcuser", "OnConnect"));
    EXPECT_EQ(1, log.Count(",IP not changed", "GetClientAddr"));
    EXPECT_EQ(2, log.Count(",no more redirect printer", "WatchEnvProc"));
    EXPECT_EQ(1u, client.bClientModule);

    const BYTE other[] = {192, 0, 2, 77};
    WtsDouble::SetClientAddress(AF_INET, other, sizeof other);
    Passes(1);
    EXPECT_EQ(2, pc.Count(RDP_CMD_INITIALIZE));
    EXPECT_EQ(0, WtsDouble::OpenChannels());
    EXPECT_EQ(0, DrainPosts());
}

TEST_F(Watch, MissingAddInIsReportedOnceThenPassesStayQuiet)
{
    WtsDouble::FailOpen(ERROR_FILE_NOT_FOUND);
    Passes(3);
    EXPECT_EQ(1, log.Count(",client module not found", "WatchEnvProc"));
    EXPECT_EQ(0u, client.bClientModule);
    EXPECT_EQ(0, log.Count(",no more redirect printer"));
    EXPECT_EQ(0, WtsDouble::WriteCalls());
}

TEST_F(Watch, GreetingAnsweredWithAnErrorMeansNoClientModule)
{
    svtest::FakeClient pc([](CRdpData&) { return svtest::ReplyBytes(CRdpData(0, RDP_RES_RDP_OVERRUN)); });
    Passes(2);
    EXPECT_TRUE(log.Has(",RDP_CMD_INITIALIZE error", "OnConnect"));
    EXPECT_EQ(1, log.Count(",client module not found"));
    EXPECT_EQ(0, WtsDouble::OpenChannels());
}

TEST_F(Watch, NoTargetPrinterMeansNoChannelTraffic)
{
    PrinterDouble::Add(L"Office (redirected 2)", L"Unknown Driver", PRINTER_ATTRIBUTE_TS);
    PrinterDouble::Add(L"Local Laser", L"Halvren Office Dravo", 0);
    svtest::FakeClient pc(Answer);
    Passes(3);
    EXPECT_EQ(2u, pc.Requests().size());   // the greeting and the version check only
    EXPECT_EQ(0, WtsDouble::OpenChannels());
    EXPECT_EQ(3, log.Count(",no more redirect printer"));
}

TEST_F(Watch, DisconnectRestartsTheModuleOnce)
{
    svtest::FakeClient pc(Answer);
    Passes(1);
    WtsDouble::SetConnectState(WTSDisconnected);
    Passes(3);
    EXPECT_EQ(1, log.Count(",client disconnected", "WatchEnvProc"));
    EXPECT_EQ(1, log.Count("10h", "GetClientAddr"));
    EXPECT_EQ(2, log.Count("20h", "GetClientAddr"));
    EXPECT_EQ(1, DrainPosts());
    EXPECT_EQ(0u, client.dwFamily);
}

// A pass waiting for a reply that never comes ends at the exit request, and
// the loop ends without waiting out its interval.
TEST_F(Watch, ExitDuringAPassEndsTheLoopPromptly)
{
    svtest::FakeClient pc([](CRdpData&) { return Bytes(); });
    g_dwInterval = 30000;
    HANDLE thread = (HANDLE)_beginthreadex(nullptr, 0, WatchEnvProc, nullptr, 0, nullptr);
    ASSERT_TRUE(thread);
    for (int i = 0; i < 100 && pc.Requests().empty(); i++)
        Sleep(20);
    ASSERT_EQ(1u, pc.Requests().size());
    DWORD start = GetTickCount();
    events.SetExit();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 5000));
    EXPECT_LT(GetTickCount() - start, 2000u);
    CloseHandle(thread);
    EXPECT_TRUE(log.Has(",WaitForMultipleObjects(exit),Done", "WatchEnvProc"));
}

// The whole loop on its own thread, with an interval long enough that only
// a notification can explain a prompt pass.
class WatchWoken : public Watch {
public:
    void SetUp() override
    {
        Watch::SetUp();
        g_dwInterval = 300000;
        g_nUseNotify = 1;
        g_dwSessionId = 1;   // the session of the printers below
        pc.reset(new svtest::FakeClient(Answer));   // after the double's reset
    }
    void TearDown() override
    {
        if (thread) {
            events.SetExit();
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 5000));
            CloseHandle(thread);
            thread = nullptr;
            ResetEvent(g_hEvent[EVENT_EXIT]);
        }
        EXPECT_EQ(0, PrinterDouble::OpenNotifications());
        EXPECT_EQ(0, PrinterDouble::OpenHandles());
        g_nUseNotify = 1;
        g_dwSessionId = 0;
    }
    void Start()
    {
        thread = (HANDLE)_beginthreadex(nullptr, 0, WatchEnvProc, nullptr, 0, nullptr);
        ASSERT_TRUE(thread);
        ASSERT_TRUE(WaitFor([&] { return Passes() == 1 && log.Has("LOOP END"); }, 5000));
    }
    int Passes() const { return log.Count("LOOP BEGIN"); }
    static std::wstring Redirected(int i) { return L"Notify " + std::to_wstring(i) + L" (redirected 1)"; }
    static void Redirect(int i)
    {
        PrinterDouble::Add(Redirected(i).c_str(), L"Halvren Office Dravo", PRINTER_ATTRIBUTE_TS,
                           PrinterDouble::MakeDevMode(Redirected(i).c_str(), 0x300));
    }
    static bool Applied(int i)
    {
        Bytes dm;
        return PrinterDouble::GetLevel9(Redirected(i).c_str(), &dm);
    }
    std::unique_ptr<svtest::FakeClient> pc;
    HANDLE thread = nullptr;
};

// The interval is 300 s: a printer applied within a few seconds was applied
// by the change. How soon is the benchmark's to measure (bench_watch), not a
// test's on a machine that may be busy.
TEST_F(WatchWoken, ArrivalIsAppliedByTheChangeAndABurstTooAtMostAPassEach)
{
    Start();
    Redirect(1);
    ASSERT_TRUE(WaitFor([] { return Applied(1); }, 10000)) << log.Dump();
    EXPECT_EQ(2, Passes());

    for (int i = 2; i <= 6; i++, Sleep(20))
        Redirect(i);
    ASSERT_TRUE(WaitFor([] { return Applied(2) && Applied(3) && Applied(4) && Applied(5) && Applied(6); }, 10000))
        << log.Dump();
    Sleep(400);
    EXPECT_LE(Passes(), 2 + 5) << "five printers redirected within 100 ms: at most a pass each";
    EXPECT_EQ(0, log.Count(",255,W,"));
}

// Without a notification the module is the interval's alone: nothing happens
// between beats, and the fallback is said once, not at every pass.
void ExpectIntervalOnly(WatchWoken& t, int warnings)
{
    t.Start();
    t.Redirect(1);
    Sleep(1000);
    EXPECT_FALSE(t.Applied(1));
    EXPECT_EQ(1, t.Passes());
    for (int beat = 2; beat <= 3; beat++) {
        SetEvent(g_hEvent[EVENT_TIMER]);
        EXPECT_TRUE(WaitFor([&] { return t.log.Count("LOOP END") == beat; }, 3000));
    }
    EXPECT_TRUE(t.Applied(1));
    EXPECT_EQ(warnings, t.log.Count(",FindFirstPrinterChangeNotification,error 50,interval", "WatchEnvProc"));
    EXPECT_EQ(0, PrinterDouble::OpenNotifications());
}

TEST_F(WatchWoken, SwitchedOffOnlyTheBeatStartsAPass)
{
    g_nUseNotify = 0;
    ExpectIntervalOnly(*this, 0);
}

TEST_F(WatchWoken, NotificationUnavailableBehavesAsSwitchedOffAndSaysSoOnce)
{
    PrinterDouble::FailNotify(ERROR_NOT_SUPPORTED);
    ExpectIntervalOnly(*this, 1);
}

// A notification that goes bad (the spooler restarted) still leads to a
// pass, and the next pass arms a new one.
TEST_F(WatchWoken, FailedRearmFallsBackAndRecoversAtTheNextPass)
{
    PrinterDouble::FailNextNotify(1);
    Start();
    Redirect(1);
    ASSERT_TRUE(WaitFor([] { return Applied(1); }, 3000));
    EXPECT_EQ(1, log.Count(",FindNextPrinterChangeNotification,error 6,interval", "WatchEnvProc"));
    EXPECT_EQ(2, log.Count(",FindFirstPrinterChangeNotification,"));   // start-up, and armed again
    Redirect(2);
    ASSERT_TRUE(WaitFor([] { return Applied(2); }, 10000));
    EXPECT_EQ(1, PrinterDouble::OpenNotifications());
}

// A printer whose apply fails for a while, amid changes of other printers:
// each row the watch loop on its own thread for a time, its tries (the
// properties requests) timed by the client.
TEST_F(WatchWoken, RetriesAreSpacedAndOnlyThisSessionsChangesStartPasses)
{
    static const DWORD kNever = INFINITE;
    static const struct {
        const char* name;
        int printers;            // this session's target printers, redirected 30 ms apart
        DWORD refusedMs;         // their device mode is refused for so long
        DWORD devModeMs;         // their driver has a device mode only from then on
        DWORD noiseEveryMs;      // meanwhile a printer of no target driver comes this often
        bool noiseOtherSession;  // ... in another session (else in this one)
        DWORD replyMs;           // the client's time to answer
        DWORD runMs;             // the most the row waits
        bool applied;
        int tries;               // properties requests for each printer
        int minPasses, maxPasses;
    } cases[] = {
        {"refused for 3 s, changes every 300 ms", 1, 3000, 0, 300, false, 0, 9000, true, 3, 10, 40},
        {"always refused: tries 2 s, then 4 s apart", 1, kNever, 0, 300, false, 0, 7000, false, 3, 10, 40},
        {"device mode 10 s after the printer", 1, 0, 10000, 300, false, 0, 17000, true, 4, 30, 80},
        {"other sessions' changes start no pass", 0, 0, 0, 100, true, 0, 3000, false, 0, 1, 1},
        {"changes during a slow pass: one pass more", 4, 0, 0, 0, false, 300, 3000, true, 1, 3, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        int passes = Passes();
        std::map<std::wstring, std::vector<DWORD>> tries;
        CRITICAL_SECTION cs;
        InitializeCriticalSection(&cs);
        pc.reset();
        pc.reset(new svtest::FakeClient([&](CRdpData& r) {
            if (r.Cmd() == RDP_CMD_GETPROPERTIES) {
                WCHAR local[256];
                r.GetString(local, ARRAYSIZE(local));
                EnterCriticalSection(&cs);
                tries[local].push_back(GetTickCount());
                LeaveCriticalSection(&cs);
                Sleep(c.replyMs);
            }
            return Answer(r);
        }));
        int ends = log.Count("LOOP END");
        thread = (HANDLE)_beginthreadex(nullptr, 0, WatchEnvProc, nullptr, 0, nullptr);
        ASSERT_TRUE(thread);
        ASSERT_TRUE(WaitFor([&] { return log.Count("LOOP END") == ends + 1; }, 5000));
        DWORD start = GetTickCount();
        for (int i = 1; i <= c.printers; i++, Sleep(30)) {
            std::wstring name = Redirected(i);
            PrinterDouble::Add(name.c_str(), L"Halvren Office Dravo", PRINTER_ATTRIBUTE_TS,
                               c.devModeMs ? Bytes() : PrinterDouble::MakeDevMode(name.c_str(), 0x300));
            if (c.refusedMs)
                PrinterDouble::FailSetLevel9(name.c_str(), ERROR_INVALID_PARAMETER);
        }
        auto allApplied = [&] {
            for (int i = 1; i <= c.printers; i++)
                if (!Applied(i))
                    return false;
            return c.printers > 0;
        };
        bool refused = c.refusedMs != 0, late = c.devModeMs != 0;
        for (int noise = 0; GetTickCount() - start < c.runMs && !allApplied(); noise++) {
            DWORD now = GetTickCount() - start;
            if (refused && now >= c.refusedMs) {
                refused = false;
                for (int i = 1; i <= c.printers; i++)
                    PrinterDouble::FailSetLevel9(Redirected(i).c_str(), 0);
            }
            if (late && now >= c.devModeMs) {
                late = false;
                for (int i = 1; i <= c.printers; i++)
                    PrinterDouble::SetDriver(Redirected(i).c_str(), L"Halvren Office Dravo",
                                             PrinterDouble::MakeDevMode(Redirected(i).c_str(), 0x300));
            }
            if (c.noiseEveryMs) {
                std::wstring name = L"Noise " + std::to_wstring(noise) + (c.noiseOtherSession ? L" (redirected 7)"
                                                                                               : L" (redirected 1)");
                if (c.noiseOtherSession)
                    PrinterDouble::AddOtherSession(name.c_str());
                else
                    PrinterDouble::Add(name.c_str(), L"Unknown Driver", PRINTER_ATTRIBUTE_TS);
            }
            Sleep(c.noiseEveryMs ? c.noiseEveryMs : 50);
        }
        Sleep(c.printers ? 100 : 0);   // a pass more, if one is coming
        EXPECT_EQ(c.applied, allApplied()) << log.Dump();
        EXPECT_EQ(0, log.Count(",retry END", "SetProperties"));
        EXPECT_GE(Passes() - passes, c.minPasses);
        EXPECT_LE(Passes() - passes, c.maxPasses);
        for (int i = 1; i <= c.printers; i++) {
            const std::vector<DWORD>& t = tries[L"Notify " + std::to_wstring(i)];
            EXPECT_EQ(c.tries, (int)t.size()) << "printer " << i;
            // Timer slack under Wine: a tenth of a second.
            for (size_t k = 1; k < t.size(); k++)
                EXPECT_GE(t[k] - t[k - 1] + 100, RetryDelay((int)k)) << "printer " << i << ", try " << k + 1;
        }
        TearDown();   // the loop ends before what its client uses goes
        pc.reset();
        DeleteCriticalSection(&cs);
    }
}

// The main window hears of this session's connects and disconnects and
// starts the next pass at once; with "UseNotify"=0 it does not listen.
TEST(SessionChange, ConnectAndDisconnectSignalTheNextPass)
{
    svtest::TestLog log;
    svtest::TestEvents events;
    WNDCLASSW wc = {};
    wc.lpfnWndProc = [](HWND w, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
        return m == WM_WTSSESSION_CHANGE ? FrameWndProc(w, m, wp, lp) : DefWindowProcW(w, m, wp, lp);
    };
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"svtest_session";
    RegisterClassW(&wc);
    HWND wnd = CreateWindowW(wc.lpszClassName, L"", 0, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance, nullptr);
    ASSERT_TRUE(wnd);
    g_ModuleKind = MODULE_SERVER;
    InstallFrameHooks();
    for (int useNotify : {1, 0}) {
        SCOPED_TRACE(useNotify);
        WtsDouble::Reset();
        g_nUseNotify = useNotify;
        RegisterSessionChange(wnd, TRUE);
        EXPECT_EQ(useNotify, WtsDouble::RegisteredWindows());
        for (int state : {WTSDisconnected, WTSActive}) {
            WtsDouble::SetConnectState(state);
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
                DispatchMessageW(&msg);
            EXPECT_EQ(useNotify ? WAIT_OBJECT_0 : WAIT_TIMEOUT, WaitForSingleObject(g_hEvent[EVENT_TIMER], 0));
        }
        RegisterSessionChange(wnd, FALSE);
        EXPECT_EQ(0, WtsDouble::RegisteredWindows());
    }
    EXPECT_EQ(1, log.Count(",WTS_REMOTE_DISCONNECT,session 1", "OnSessionChange"));
    EXPECT_EQ(1, log.Count(",WTS_REMOTE_CONNECT,session 1", "OnSessionChange"));
    WtsDouble::FailRegisterNotification(ERROR_ACCESS_DENIED);
    g_nUseNotify = 1;
    RegisterSessionChange(wnd, TRUE);
    EXPECT_EQ(1, log.Count(",WTSRegisterSessionNotification,error 5,interval"));
    DestroyWindow(wnd);
    g_nUseNotify = 1;
}

}  // namespace
