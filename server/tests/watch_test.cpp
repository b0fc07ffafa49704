// One pass of the watch loop at a time, against the session double and a
// scripted client module; and the loop's end on an exit request.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>
#include <process.h>
#include <wtsapi32.h>
#include "drivers.h"
#include "fakeclient.h"
#include "printer_double.h"
#include "rdpcmd.h"
#include "resource.h"
#include "server.h"
#include "testutil.h"
#include "watch.h"
#include "wts_double.h"

using svtest::Bytes;

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
    return Bytes();
}

class Watch : public ::testing::Test {
protected:
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

}  // namespace
