// The loopback link's framing, as both ends of the simulated connection use it.
#include <gtest/gtest.h>
#include "simlink.h"

namespace {

struct LinkPair {
    SOCKET listener = INVALID_SOCKET, server = INVALID_SOCKET, client = INVALID_SOCKET;
    LinkPair()
    {
        WORD port = 0;
        listener = SimLinkListen(&port);
        client = SimLinkConnect(port);
        server = SimLinkAccept(listener, 5000);
    }
    ~LinkPair()
    {
        for (SOCKET s : { listener, server, client })
            if (s != INVALID_SOCKET)
                closesocket(s);
    }
};

std::vector<BYTE> g_big(3 * 1024 * 1024 + 7);

// The server's frames are sent from a thread of their own: a large frame
// fills the socket's buffers before the other end reads.
DWORD WINAPI SendServerFrames(LPVOID param)
{
    SOCKET s = *(SOCKET*)param;
    return SimLinkSendConnect(s, L"サーバー01") &&
           SimLinkSend(s, SIMLINK_SERVER_WRITE, g_big.data(), (DWORD)g_big.size()) &&
           SimLinkSend(s, SIMLINK_DISCONNECT, nullptr, 0);
}

TEST(SimLink, FramesArriveWholeAndInOrderBothWays)
{
    LinkPair p;
    ASSERT_NE(INVALID_SOCKET, p.server);
    std::vector<BYTE>& big = g_big;
    for (size_t i = 0; i < big.size(); i++)
        big[i] = (BYTE)(i * 31);
    HANDLE sender = CreateThread(nullptr, 0, SendServerFrames, &p.server, 0, nullptr);
    ASSERT_TRUE(SimLinkSend(p.client, SIMLINK_CLIENT_WRITE, "abc", 3));

    DWORD type = 0;
    std::vector<BYTE> payload;
    ASSERT_EQ(SIMLINK_FRAME, SimLinkRecv(p.client, 5000, &type, &payload));
    EXPECT_EQ((DWORD)SIMLINK_CONNECT, type);
    EXPECT_STREQ(L"サーバー01", (LPCWSTR)payload.data());
    EXPECT_EQ(sizeof(L"サーバー01"), payload.size());
    ASSERT_EQ(SIMLINK_FRAME, SimLinkRecv(p.client, 5000, &type, &payload));
    EXPECT_EQ((DWORD)SIMLINK_SERVER_WRITE, type);
    EXPECT_TRUE(big == payload);
    ASSERT_EQ(SIMLINK_FRAME, SimLinkRecv(p.client, 5000, &type, &payload));
    EXPECT_EQ((DWORD)SIMLINK_DISCONNECT, type);
    EXPECT_TRUE(payload.empty());
    ASSERT_EQ(SIMLINK_FRAME, SimLinkRecv(p.server, 5000, &type, &payload));
    EXPECT_EQ((DWORD)SIMLINK_CLIENT_WRITE, type);
    EXPECT_EQ(std::vector<BYTE>({ 'a', 'b', 'c' }), payload);
    EXPECT_EQ(SIMLINK_TIMEOUT, SimLinkRecv(p.server, 50, &type, &payload));
    WaitForSingleObject(sender, 10000);
    DWORD sent = 0;
    GetExitCodeThread(sender, &sent);
    CloseHandle(sender);
    EXPECT_EQ(1u, sent);
}

TEST(SimLink, BadLengthsAndCutFramesBreakTheLink)
{
    static const struct {
        const char* name;
        DWORD header[2];
        DWORD bodyBytes;   // sent before the close
        int expected;
    } rows[] = {
        { "length above the limit", { 1, SIMLINK_MAX_PAYLOAD + 1 }, 0, SIMLINK_BROKEN },
        { "body cut short", { 1, 10 }, 3, SIMLINK_BROKEN },
        { "header cut short", { 1, 0 }, 0, SIMLINK_BROKEN },
        { "closed between frames", { 0, 0 }, 0, SIMLINK_CLOSED },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        LinkPair p;
        ASSERT_NE(INVALID_SOCKET, p.server);
        if (row.header[0]) {
            int headerBytes = row.expected == SIMLINK_BROKEN && row.header[1] == 0 ? 5 : 8;
            send(p.server, (const char*)row.header, headerBytes, 0);
            send(p.server, "xyz", (int)row.bodyBytes, 0);
        }
        SimLinkClose(p.server);
        p.server = INVALID_SOCKET;
        DWORD type;
        std::vector<BYTE> payload;
        EXPECT_EQ(row.expected, SimLinkRecv(p.client, 5000, &type, &payload));
    }
}

}  // namespace
