// The channel side of the add-in in this process, with the Remote Desktop
// client's entry points replaced by recording ones.
#include <gtest/gtest.h>
#include "client.h"
#include "clienttest.h"
#include "fakechannel.h"
#include "frame.h"
#include "module.h"
#include <string.h>

namespace {

using namespace FakeChannel;

DWORD HeapCount()
{
    return GetProcessHeaps(0, nullptr);
}

void Chunk(const Bytes& bytes, UINT32 offset, UINT32 length, UINT32 total, UINT32 flags)
{
    FakeChannel::Chunk(bytes.data() + offset, length, total, flags);
}

class ChannelTest : public testing::Test {
protected:
    void SetUp() override
    {
        Install(UniqueName(L"inproc"));
        ASSERT_TRUE(GetClientWindow());
    }
    void TearDown() override
    {
        CompleteAll();
        Disconnect();
    }
};

Bytes Request(size_t payload = 0)
{
    return CutBlocks(MakeMessage(5, Bytes(payload, 0x5A)))[0];
}

TEST_F(ChannelTest, FullBlockIsReturnedOnlyWithItsFourthChunk)
{
    Bytes block = Request(6392 - 8);
    ASSERT_EQ(6400u, block.size());
    static const UINT32 flags[] = { 1, 0, 0, 2 };
    for (int i = 0; i < 4; i++) {
        EXPECT_TRUE(writes.empty()) << "answered before chunk " << i + 1;
        Chunk(block, i * 1600, 1600, 6400, flags[i]);
    }
    ASSERT_EQ(1u, writes.size());
    EXPECT_EQ(0xFFFF, LastRes());
}

TEST_F(ChannelTest, ChunkSequencesAnswerOnceOrDrop)
{
    Bytes full = Request(100);   // a block of 116 bytes
    Bytes big = Request(6392 - 8);
    Bytes headerOnly = MakeBlock({}, 0, 3, 0xFFFFFFFC);
    static const struct Step {
        int source;   // 0 full, 1 big, 2 header only
        UINT32 offset, length, total, flags;
    } none = {};
    static const struct {
        const char* name;
        Step steps[7];
        int replies;
        WORD res;   // of the last reply
    } rows[] = {
        { "one chunk", { { 0, 0, 116, 116, 3 } }, 1, 0xFFFF },
        { "retold length", { { 0, 0, 100, 116, 1 }, { 0, 100, 16, 116, 2 } }, 1, 0xFFFF },
        { "overrun drops the rest of the write",
          { { 1, 0, 1600, 6400, 1 }, { 1, 0, 1600, 6400, 0 }, { 1, 0, 1600, 6400, 0 }, { 1, 0, 1600, 6400, 0 },
            { 1, 0, 1, 6400, 0 }, { 1, 0, 1600, 6400, 2 } },
          1, 0xFE11 },
        { "chunks short of the total", { { 1, 0, 1600, 3200, 1 }, { 1, 1600, 1000, 3200, 2 } }, 1, 0xFE12 },
        { "total too large drops the rest", { { 1, 0, 1600, 6401, 1 }, { 1, 1600, 1600, 6401, 2 } }, 1, 0xFE10 },
        { "new write while a block is open", { { 1, 0, 1600, 6400, 1 }, { 0, 0, 116, 116, 3 } }, 1, 0xFFFF },
        { "block shorter than its header", { { 2, 0, 4, 4, 3 } }, 0, 0 },
        { "short block then its retry", { { 0, 0, 60, 60, 3 }, { 0, 0, 116, 116, 3 } }, 1, 0xFFFF },
        { "middle chunk without a first", { { 0, 0, 116, 116, 0 }, { 0, 0, 116, 116, 3 } }, 1, 0xFFFF },
    };
    const Bytes* sources[] = { &full, &big, &headerOnly };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        writes.clear();
        for (const Step& s : row.steps) {
            if (!memcmp(&s, &none, sizeof s))
                break;
            Chunk(*sources[s.source], s.offset, s.length, s.total, s.flags);
        }
        EXPECT_EQ((size_t)row.replies, writes.size());
        if (row.replies) {
            EXPECT_EQ(row.res, LastRes());
        }
        for (const Bytes& w : writes)
            EXPECT_EQ(w.size(), 8u + ReplyView(w).len);
        CompleteAll();
    }
}

TEST_F(ChannelTest, EachReplyHeapLivesUntilItsWriteEnds)
{
    DWORD heaps = HeapCount();
    DeliverWrite(Request());
    DeliverWrite(Request());
    ASSERT_EQ(2u, writes.size());
    EXPECT_EQ(heaps + 2, HeapCount());
    EXPECT_EQ(2, GetNotifyState().transfer);
    VirtualChannelOpenEvent(9, CHANNEL_EVENT_WRITE_COMPLETE, userData[0], 0, 0, 0);
    VirtualChannelOpenEvent(9, CHANNEL_EVENT_WRITE_CANCELLED, userData[1], 0, 0, 0);
    userData.clear();
    EXPECT_EQ(heaps, HeapCount());
    EXPECT_EQ(0, GetNotifyState().transfer);
    EXPECT_EQ(0, GetNotifyState().work);

    // Completion without user data destroys nothing and still ends the transfer.
    NotifyIcon(NI_XFER_BEGIN);
    VirtualChannelOpenEvent(9, CHANNEL_EVENT_WRITE_COMPLETE, nullptr, 0, 0, 0);
    EXPECT_EQ(heaps, HeapCount());
    EXPECT_EQ(0, GetNotifyState().transfer);
}

TEST_F(ChannelTest, FailedWriteReleasesItsHeapAndTransferAtOnce)
{
    DWORD heaps = HeapCount();
    writeResult = CHANNEL_RC_NOT_CONNECTED;
    DeliverWrite(Request());
    DeliverWrite(MakeBlock({ 1, 2 }, 0, 3, 2));   // an error reply fails the same way
    writeResult = CHANNEL_RC_OK;
    EXPECT_TRUE(writes.empty());
    EXPECT_EQ(heaps, HeapCount());
    EXPECT_EQ(0, GetNotifyState().transfer);
    DeliverWrite(Request());
    EXPECT_EQ(1u, writes.size()) << "the next request is answered as usual";
}

// Answers the message box that CriticalMessage shows on this thread.
DWORD WINAPI AnswerBox(LPVOID)
{
    for (int i = 0; i < 500; i++) {
        HWND box = FindWindowW(L"#32770", nullptr);
        DWORD pid = 0;
        if (box && GetWindowThreadProcessId(box, &pid) && pid == GetCurrentProcessId()) {
            PostMessageW(box, WM_COMMAND, IDOK, 0);
            return 1;
        }
        Sleep(20);
    }
    return 0;
}

TEST_F(ChannelTest, AfterAnUnrecoverableErrorEveryEventIsIgnored)
{
    Disconnect();
    throwOnOpen = true;
    HANDLE answer = CreateThread(nullptr, 0, AnswerBox, nullptr, 0, nullptr);
    Connect(UniqueName(L"broken"));
    throwOnOpen = false;
    WaitForSingleObject(answer, 15000);
    DWORD answered = 0;
    GetExitCodeThread(answer, &answered);
    CloseHandle(answer);
    EXPECT_EQ(1u, answered) << "message 20000 was not shown";
    ASSERT_TRUE(AppException());

    NotifyState before = GetNotifyState();
    HANDLE heap = HeapCreate(0, 0, 0);
    DeliverWrite(Request());
    DeliverWrite(Bytes(7000, 0xEE));
    VirtualChannelOpenEvent(9, CHANNEL_EVENT_WRITE_COMPLETE, heap, 0, 0, 0);
    EXPECT_TRUE(writes.empty());
    EXPECT_TRUE(HeapValidate(heap, 0, nullptr)) << "a completion after the error must not touch the heap";
    HeapDestroy(heap);
    EXPECT_EQ(before.work, GetNotifyState().work);
    EXPECT_EQ(before.transfer, GetNotifyState().transfer);
}

TEST_F(ChannelTest, ServerNameIsReadNoFurtherThanTheEvent)
{
    Disconnect();
    const WCHAR unterminated[] = { L'a', L'b', L'c', L'd', L'e' };
    VirtualChannelInitEvent(nullptr, CHANNEL_EVENT_CONNECTED, (LPVOID)unterminated, 3 * sizeof(WCHAR));
    EXPECT_STREQ(L"abc", g_szServerName);
    Disconnect();
    std::wstring longName(3000, L'n');
    Connect(longName);
    EXPECT_EQ((size_t)CCH_SERVER_NAME - 1, wcslen(g_szServerName));
}

DWORD WINAPI RunExitInstance(LPVOID)
{
    ExitInstance();
    return 0;
}

void Pump()
{
    MSG msg;
    for (int i = 0; i < 20; i++) {
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
        Sleep(5);
    }
}

TEST_F(ChannelTest, UnloadOnAnotherThreadRemovesIconAndRetiresWindow)
{
    HWND hWnd = GetClientWindow();
    ASSERT_TRUE(IsWindow(hWnd));
    ASSERT_NE(0u, GetNotifyState().flags & NS_STARTED);
    HANDLE t = CreateThread(nullptr, 0, RunExitInstance, nullptr, 0, nullptr);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 10000)) << "ExitInstance must not wait for the window's thread";
    CloseHandle(t);
    EXPECT_EQ(0u, GetNotifyState().flags) << "notify icon still present";
    EXPECT_EQ(0, GetNotifyIconId());
    EXPECT_EQ((LONG_PTR)DefWindowProcW, GetWindowLongPtrW(hWnd, GWLP_WNDPROC))
        << "the window would call into an unloaded library";
    Pump();
    EXPECT_FALSE(IsWindow(hWnd));
}

TEST_F(ChannelTest, UnloadOnTheWindowsThreadDestroysItAtOnce)
{
    HWND hWnd = GetClientWindow();
    ASSERT_TRUE(IsWindow(hWnd));
    ExitInstance();
    EXPECT_FALSE(IsWindow(hWnd));
    EXPECT_EQ(0u, GetNotifyState().flags);
    EXPECT_EQ(nullptr, GetClientWindow());
}

}  // namespace
