#include <gtest/gtest.h>
#include <winsock2.h>
#include <wtsapi32.h>
#include <string.h>
#include <thread>
#include "rdpcmd.h"
#include "simlink.h"
#include "testutil.h"
#include "wts_double.h"
#include "wtsio.h"

using WtsDouble::Bytes;

namespace {

class ChannelIO : public ::testing::Test {
protected:
    void SetUp() override
    {
        WtsDouble::Reset();
        channel = WTSVirtualChannelOpen(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, (LPSTR)RDP_CHANNEL_NAME);
        ASSERT_TRUE(channel);
    }
    void TearDown() override { WTSVirtualChannelClose(channel); }

    static Bytes Message(DWORD size)
    {
        Bytes m(size);
        for (DWORD i = 0; i < size; i++)
            m[i] = (BYTE)(i * 7 + i / 251);
        return m;
    }
    static RDPBLOCKHEADER HeaderOf(const Bytes& block)
    {
        RDPBLOCKHEADER h = {};
        if (block.size() >= sizeof h)
            memcpy(&h, block.data(), sizeof h);
        return h;
    }
    // A reply as the client writes it: header and payload in one piece.
    static Bytes Reply(WORD cmd, WORD res, DWORD payload)
    {
        Bytes r(sizeof(RDPHEADER) + payload);
        RDPHEADER h = {payload, cmd, res};
        memcpy(r.data(), &h, sizeof h);
        for (DWORD i = 0; i < payload; i++)
            r[sizeof h + i] = (BYTE)(i ^ 0x5A);
        return r;
    }
    // The far end answers once the last block of a request has arrived.
    static void AnswerWith(const Bytes& reply)
    {
        WtsDouble::OnWrite([reply](const Bytes& block) {
            if (HeaderOf(block).wFlags & BLOCK_FLAG_LAST)
                WtsDouble::QueueRead(reply.data(), (DWORD)reply.size());
        });
    }

    svtest::TestLog log;
    svtest::TestEvents events;
    HANDLE channel = nullptr;
};

TEST_F(ChannelIO, WriteBufOfNothingWritesNothing)
{
    EXPECT_TRUE(WriteBuf(channel, nullptr, 0));
    EXPECT_EQ(0, WtsDouble::WriteCalls());
    EXPECT_TRUE(log.Has("TRUE,write 0", "WriteBuf"));
}

TEST_F(ChannelIO, WriteBufCutsAMessageIntoNumberedBlocks)
{
    Bytes msg = Message(20008);
    ASSERT_TRUE(WriteBuf(channel, msg.data(), (DWORD)msg.size()));
    auto writes = WtsDouble::Writes();
    ASSERT_EQ(4u, writes.size());
    const DWORD lengths[] = {6392, 6392, 6392, 832};
    const WORD flags[] = {BLOCK_FLAG_FIRST, BLOCK_FLAG_MIDDLE, BLOCK_FLAG_MIDDLE, BLOCK_FLAG_LAST};
    Bytes joined;
    for (size_t i = 0; i < writes.size(); i++) {
        RDPBLOCKHEADER h = HeaderOf(writes[i]);
        EXPECT_EQ(lengths[i], h.dwLength) << "block " << i;
        EXPECT_EQ(i, h.wSeq) << "block " << i;
        EXPECT_EQ(flags[i], h.wFlags) << "block " << i;
        EXPECT_EQ(h.dwLength + sizeof h, writes[i].size()) << "block " << i;
        joined.insert(joined.end(), writes[i].begin() + sizeof h, writes[i].end());
    }
    EXPECT_EQ(msg, joined);
    EXPECT_TRUE(log.Has(",OK,seq 3,832 bytes,rdp 20008 / 20008", "WriteBuf"));

    Bytes small = Message(10);
    ASSERT_TRUE(WriteBuf(channel, small.data(), 10));
    EXPECT_EQ(BLOCK_FLAG_ONLY, HeaderOf(WtsDouble::Writes().back()).wFlags);
}

TEST_F(ChannelIO, ShortWriteResendsTheWholeBlockWithTheSameSequence)
{
    Bytes msg = Message(6392 + 100);
    WtsDouble::ShortWrite(6000);
    ASSERT_TRUE(WriteBuf(channel, msg.data(), (DWORD)msg.size()));
    auto writes = WtsDouble::Writes();
    ASSERT_EQ(3u, writes.size());
    EXPECT_EQ(6400u, writes[0].size());
    EXPECT_EQ(writes[0], writes[1]) << "the retry must repeat the block unchanged";
    EXPECT_EQ(1, HeaderOf(writes[2]).wSeq);
    EXPECT_TRUE(log.Has(",short,seq 0,data 5992 / 6392,RETRY", "WriteBuf")) << log.Dump();
    EXPECT_TRUE(log.Has("TRUE,write 6492", "WriteBuf"));
}

TEST_F(ChannelIO, FailedWriteStopsWithWhatWasDone)
{
    Bytes msg = Message(6392 * 2);
    WtsDouble::OnWrite([](const Bytes&) { WtsDouble::FailWrite(ERROR_GEN_FAILURE); });
    EXPECT_FALSE(WriteBuf(channel, msg.data(), (DWORD)msg.size()));
    EXPECT_EQ(2, WtsDouble::WriteCalls());
    EXPECT_TRUE(log.Has(",error 31,uDone 6392", "WriteBuf"));
    EXPECT_TRUE(log.Has("FALSE,write 6392", "WriteBuf"));
}

TEST_F(ChannelIO, ExitEventStopsWritingAndMakesTheExchangeAnExit)
{
    events.SetExit();
    Bytes msg = Message(100);
    EXPECT_FALSE(WriteBuf(channel, msg.data(), 100));

    CRdpData req;
    MakeGetFileVerRequest(req);
    CRdpData reply = WriteAndReadRDP(channel, req);
    EXPECT_EQ(0, WtsDouble::WriteCalls());
    EXPECT_EQ(0, reply.Cmd());
    EXPECT_EQ(RDP_RES_EXIT, reply.Res());
    EXPECT_TRUE(log.Has(",write data error", "WriteAndReadRDP"));
    EXPECT_TRUE(log.Has(",RES FFFE", "WriteAndReadRDP"));
}

TEST_F(ChannelIO, HeaderOnlyReplyNeedsNoSecondRead)
{
    AnswerWith(Reply(RDP_CMD_GETFILEVER, 0, 0));
    CRdpData req;
    MakeGetFileVerRequest(req);
    CRdpData reply = WriteAndReadRDP(channel, req);
    EXPECT_EQ(RDP_CMD_GETFILEVER, reply.Cmd());
    EXPECT_EQ(0, reply.Res());
    EXPECT_EQ(0u, reply.Len());
    EXPECT_EQ(1, WtsDouble::ReadCalls());
    EXPECT_TRUE(log.Has(",CMD(2),Done(header only)", "WriteAndReadRDP"));
    EXPECT_FALSE(log.Has(",RES ", "WriteAndReadRDP"));
}

TEST_F(ChannelIO, ReplyPayloadArrivesAsAStreamOfPieces)
{
    Bytes reply = Reply(RDP_CMD_GETPROPERTIES, 1, 5000);
    AnswerWith(reply);
    CRdpData req;
    MakeGetPropertiesRequest(req, L"P", L"SYSTEM\\x", L"Software\\y");
    CRdpData got = WriteAndReadRDP(channel, req);
    ASSERT_EQ(reply.size(), got.Size());
    EXPECT_EQ(0, memcmp(reply.data(), got.Buffer(), reply.size()));
    EXPECT_EQ(1 + 4, WtsDouble::ReadCalls()) << "header, then 5000 bytes at most 1600 a read";
    EXPECT_TRUE(log.Has(",WTSRead,5008 bytes", "WriteAndReadRDP"));
    EXPECT_TRUE(log.Has(",RES 1", "WriteAndReadRDP"));
}

TEST_F(ChannelIO, ReadsThatTimeOutWaitUntilTheReplyArrives)
{
    Bytes reply = Reply(RDP_CMD_INITIALIZE, 0, 6);
    DWORD start = GetTickCount();
    std::thread late([&] {
        Sleep(1250);
        WtsDouble::QueueRead(reply.data(), (DWORD)reply.size());
    });
    CRdpData req;
    MakeInitializeRequest(req, 3, L"user");
    CRdpData got = WriteAndReadRDP(channel, req);
    DWORD elapsed = GetTickCount() - start;
    late.join();
    EXPECT_EQ(0, got.Res());
    EXPECT_EQ(6u, got.Len());
    EXPECT_EQ(2, WtsDouble::TimedOutReads());
    EXPECT_EQ(2, log.Count(",ERROR_IO_INCOMPLETE,uDone 0", "ReadBuf"));
    EXPECT_GE(elapsed, 1000u) << "each empty read waits its 500 ms";
}

TEST_F(ChannelIO, SessionEndingDuringAReadLeavesNoReply)
{
    WtsDouble::DisconnectAfterTimeouts(1);
    CRdpData req;
    MakeGetFileVerRequest(req);
    CRdpData got = WriteAndReadRDP(channel, req);
    EXPECT_EQ(nullptr, got.Buffer());
    EXPECT_EQ(RDP_RES_NONE, got.Res());
    EXPECT_TRUE(log.Has(",WTSConnectState,Not WTSActivate", "ReadBuf"));
    EXPECT_TRUE(log.Has(",read header error", "WriteAndReadRDP"));
    EXPECT_TRUE(log.Has(",RES FFFF", "WriteAndReadRDP"));
}

TEST_F(ChannelIO, ReadErrorOtherThanTimeOutEndsTheRead)
{
    WtsDouble::FailQuery(WTSConnectState, ERROR_ACCESS_DENIED);
    BYTE buf[8];
    EXPECT_FALSE(ReadBuf(channel, buf, sizeof buf));
    EXPECT_TRUE(log.Has(",WTSConnectState,error 5", "ReadBuf"));

    BYTE other[8];
    EXPECT_FALSE(ReadBuf((HANDLE)other, buf, sizeof buf));
    EXPECT_TRUE(log.Has(",error 6,uDone 0", "ReadBuf"));
}

TEST_F(ChannelIO, HeaderThatAnnouncesTooMuchIsRefusedBeforeAllocating)
{
    RDPHEADER huge = {(DWORD)RDP_REPLY_MAX + 1, RDP_CMD_GETPROPERTIES, 0};
    WtsDouble::OnWrite([huge](const Bytes&) { WtsDouble::QueueRead(&huge, sizeof huge); });
    CRdpData req;
    MakeGetFileVerRequest(req);
    CRdpData got = WriteAndReadRDP(channel, req);
    EXPECT_EQ(nullptr, got.Buffer());
    EXPECT_EQ(1, WtsDouble::ReadCalls());
    EXPECT_TRUE(log.Has("reply too large", "WriteAndReadRDP"));
}

TEST_F(ChannelIO, MissingPayloadIsNoReplyRatherThanAnEmptySuccess)
{
    Bytes partial = Reply(RDP_CMD_GETPROPERTIES, 0, 100);
    partial.resize(sizeof(RDPHEADER) + 50);
    AnswerWith(partial);
    WtsDouble::DisconnectAfterTimeouts(1);
    CRdpData req;
    MakeGetFileVerRequest(req);
    CRdpData got = WriteAndReadRDP(channel, req);
    EXPECT_EQ(nullptr, got.Buffer());
    EXPECT_EQ(RDP_RES_NONE, got.Res());
    EXPECT_TRUE(log.Has(",read data error", "WriteAndReadRDP"));
}

TEST_F(ChannelIO, ExitDuringThePayloadReadEndsTheExchangeAsAnExit)
{
    Bytes partial = Reply(RDP_CMD_GETPROPERTIES, 0, 100);
    partial.resize(sizeof(RDPHEADER) + 50);
    AnswerWith(partial);
    std::thread stop([&] {
        Sleep(700);
        events.SetExit();
    });
    CRdpData req;
    MakeGetFileVerRequest(req);
    CRdpData got = WriteAndReadRDP(channel, req);
    stop.join();
    EXPECT_EQ(0, got.Cmd());
    EXPECT_EQ(RDP_RES_EXIT, got.Res());
    EXPECT_TRUE(log.Has(",exit", "ReadBuf"));
}

// --- session queries ---

class SessionQueries : public ::testing::Test {
protected:
    void SetUp() override { WtsDouble::Reset(); }
    svtest::TestLog log;
};

TEST_F(SessionQueries, ActiveOnlyForAnActiveRemoteDesktopSession)
{
    static const struct {
        int state;
        USHORT protocol;
        int failClass;
        BOOL active;
        const char* line;
    } cases[] = {
        {WTSActive, WTS_PROTOCOL_TYPE_RDP, -1, TRUE, "WTSClientProtocolType,WTS_PROTOCOL_TYPE_RDP"},
        {WTSActive, WTS_PROTOCOL_TYPE_CONSOLE, -1, FALSE, ",WTSClientProtocolType,Not WTS_PROTOCOL_TYPE_RDP"},
        {WTSDisconnected, WTS_PROTOCOL_TYPE_RDP, -1, FALSE, ",WTSConnectState,Not WTSActive"},
        {WTSActive, WTS_PROTOCOL_TYPE_RDP, WTSConnectState, FALSE, ",WTSConnectState,error 5"},
        {WTSActive, WTS_PROTOCOL_TYPE_RDP, WTSClientProtocolType, FALSE, ",WTSClientProtocolType,error 5"},
    };
    for (const auto& c : cases) {
        WtsDouble::Reset();
        WtsDouble::SetConnectState(c.state);
        WtsDouble::SetProtocol(c.protocol);
        if (c.failClass >= 0)
            WtsDouble::FailQuery(c.failClass, ERROR_ACCESS_DENIED);
        int before = log.Count(c.line, "WTS_IsActive");
        EXPECT_EQ(c.active, WTS_IsActive()) << c.line;
        EXPECT_EQ(before + 1, log.Count(c.line, "WTS_IsActive")) << c.line;
    }
}

TEST_F(SessionQueries, SessionIdOrZero)
{
    WtsDouble::SetSessionId(7);
    EXPECT_EQ(7u, WTS_GetSessinID());
    EXPECT_TRUE(log.Has(",WTSSessionId,ID 7"));
    WtsDouble::FailQuery(WTSSessionId, ERROR_ACCESS_DENIED);
    EXPECT_EQ(0u, WTS_GetSessinID());
    EXPECT_TRUE(log.Has(",WTSSessionId,error 5"));
}

TEST_F(SessionQueries, ClientAddressFillsOnlyWhatTheFamilyUses)
{
    const BYTE v4[] = {192, 0, 2, 33};
    CLIENTRECORD rec;
    memset(&rec, 0xbd, sizeof rec);
    WtsDouble::SetClientAddress(AF_INET, v4, 4);
    WTS_GetClientInfo(&rec);
    EXPECT_EQ((DWORD)AF_INET, rec.dwFamily);
    EXPECT_EQ(0, memcmp(rec.Address, v4, 4));
    for (int i = 4; i < 16; i++)
        EXPECT_EQ(0xbd, rec.Address[i]) << "byte " << i << " must stay untouched";
    EXPECT_STREQ(L"PC1", rec.szClientName);

    BYTE v6[16];
    for (int i = 0; i < 16; i++)
        v6[i] = (BYTE)(0x20 + i);
    WtsDouble::SetClientAddress(AF_INET6, v6, 16);
    WTS_GetClientInfo(&rec);
    EXPECT_EQ((DWORD)AF_INET6, rec.dwFamily);
    EXPECT_EQ(0, memcmp(rec.Address, v6, 16));
}

TEST_F(SessionQueries, FailedClientQueriesLeaveZerosAndAnEmptyName)
{
    CLIENTRECORD rec;
    memset(&rec, 0xbd, sizeof rec);
    WtsDouble::FailQuery(WTSClientAddress, ERROR_ACCESS_DENIED);
    WtsDouble::FailQuery(WTSClientName, ERROR_ACCESS_DENIED);
    WTS_GetClientInfo(&rec);
    EXPECT_EQ(0u, rec.dwFamily);
    for (BYTE b : rec.Address)
        EXPECT_EQ(0, b);
    EXPECT_EQ(0, rec.szClientName[0]);
    EXPECT_TRUE(log.Has(",WTSClientAddress, error 5"));
    EXPECT_TRUE(log.Has(",WTSClientName, error 5"));
}

TEST_F(SessionQueries, LongClientNameIsCutToTheRecord)
{
    std::wstring name(3000, L'n');
    WtsDouble::SetClientName(name.c_str());
    CLIENTRECORD rec;
    memset(&rec, 0xbd, sizeof rec);
    rec.bClientModule = 0x12345678;
    WTS_GetClientInfo(&rec);
    EXPECT_EQ((size_t)CCH_CLIENT_NAME - 1, wcslen(rec.szClientName));
    EXPECT_EQ(0x12345678u, rec.bClientModule) << "the name overran into the next field";
}

}  // namespace

namespace {

// The channel's far end as the client host double sees it over the link.
TEST(ChannelOverLink, ServerWritesTravelAsFramesAndClientWritesAsAStream)
{
    WtsDouble::Reset();
    svtest::TestLog log;
    svtest::TestEvents events;
    WORD port = 0;
    ASSERT_TRUE(WtsDouble::ListenLink(&port, L"TS-SIM"));
    SOCKET host = SimLinkConnect(port);
    ASSERT_NE(INVALID_SOCKET, host);
    DWORD type = 0;
    std::vector<BYTE> payload;
    ASSERT_EQ(SIMLINK_FRAME, SimLinkRecv(host, 5000, &type, &payload));
    EXPECT_EQ((DWORD)SIMLINK_CONNECT, type);
    EXPECT_STREQ(L"TS-SIM", (LPCWSTR)payload.data());
    ASSERT_TRUE(WtsDouble::WaitLinkJoined(5000));

    std::thread client([&] {
        // One request of two blocks, then the reply in one client write.
        for (int blocks = 0; blocks < 2; blocks++) {
            if (SimLinkRecv(host, 5000, &type, &payload) != SIMLINK_FRAME || type != SIMLINK_SERVER_WRITE)
                return;
        }
        BYTE reply[8 + 3000];
        RDPHEADER h = {3000, RDP_CMD_GETPROPERTIES, 0};
        memcpy(reply, &h, sizeof h);
        memset(reply + 8, 0x42, 3000);
        SimLinkSend(host, SIMLINK_CLIENT_WRITE, reply, sizeof reply);
    });
    HANDLE ch = WTSVirtualChannelOpen(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, (LPSTR)RDP_CHANNEL_NAME);
    ASSERT_TRUE(ch);
    CRdpData req(RDP_CMD_GETPROPERTIES, RDP_RES_NONE);
    std::vector<BYTE> big(7000, 1);
    req.AddBuf(big.data(), (DWORD)big.size());
    CRdpData reply = WriteAndReadRDP(ch, req);
    client.join();
    EXPECT_EQ(0, reply.Res());
    EXPECT_EQ(3000u, reply.Len());
    EXPECT_GE(WtsDouble::ReadCalls(), 1 + 2) << "at most 1600 bytes a read";

    SimLinkClose(host);
    for (int i = 0; i < 50 && WTS_IsActive(); i++)
        Sleep(100);
    EXPECT_FALSE(WTS_IsActive()) << "a closed link ends the session";
    WTSVirtualChannelClose(ch);
}

}  // namespace
