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
