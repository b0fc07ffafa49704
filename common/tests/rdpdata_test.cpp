#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <vector>
#include "rdpcmd.h"
#include "rdp_testlog.h"

namespace {

std::vector<BYTE> Bytes(const CRdpData& m)
{
    return std::vector<BYTE>(m.Buffer(), m.Buffer() + m.Size());
}

// A whole message of `size` bytes whose len field announces the rest; the
// payload is a counting pattern so that misplaced slices show.
std::vector<BYTE> PatternMessage(DWORD size)
{
    std::vector<BYTE> msg(size);
    for (DWORD i = 0; i < size; i++)
        msg[i] = (BYTE)(i * 7 + 3);
    DWORD len = size - 8;
    memcpy(msg.data(), &len, 4);
    return msg;
}

// Feeds every block of `msg` to LoadBlock; the result of the last call.
BOOL LoadAll(CRdpData& recv, const std::vector<BYTE>& msg)
{
    BOOL done = FALSE;
    DWORD count = RdpBlockCount((DWORD)msg.size());
    for (WORD seq = 0; seq < count; seq++) {
        RDPBLOCKHEADER h;
        const BYTE* data = RdpBlockAt(msg.data(), (DWORD)msg.size(), seq, &h);
        done = recv.LoadBlock(data, h.dwLength, h.wSeq, h.wFlags);
        EXPECT_EQ(seq + 1u == count, !!done) << "block " << seq;
    }
    return done;
}

RDPRESULT LoadRaises(CRdpData& recv, const BYTE* data, DWORD length, WORD seq, WORD flags)
{
    try {
        recv.LoadBlock(data, length, seq, flags);
    } catch (const RdpException& e) {
        return e.res;
    }
    return 0;
}

}  // namespace

TEST(CRdpData, HeaderAndItemLayout)
{
    CRdpData empty(RDP_CMD_GETFILEVER, RDP_RES_NONE);
    EXPECT_EQ((std::vector<BYTE>{0, 0, 0, 0, 0x02, 0x00, 0xFF, 0xFF}), Bytes(empty));

    CRdpData m(RDP_CMD_INITIALIZE, RDP_RES_OK);
    m.AddDWORD(1);
    m.AddString(L"ab");
    EXPECT_EQ(10u, m.Len());
    EXPECT_EQ((std::vector<BYTE>{10, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0x61, 0, 0x62, 0, 0, 0}), Bytes(m));

    // Items that add nothing, and the empty string that still adds its terminator.
    m.AddBuf("xyz", 0);
    m.AddBuf(nullptr, 5);
    m.AddString(nullptr);
    EXPECT_EQ(10u, m.Len());
    m.AddString(L"");
    EXPECT_EQ(12u, m.Len());

    // The block never has spare room: the header's len is the truth about it.
    EXPECT_EQ((SIZE_T)m.Size(), HeapSize(m.Heap(), 0, m.Buffer()));
}

// A message without a buffer is what the server holds when no reply came.
TEST(CRdpData, MessageWithoutBufferReadsAsNoReply)
{
    TestLog log;
    CRdpData none;
    EXPECT_EQ(nullptr, none.Buffer());
    EXPECT_EQ(0, none.Cmd());
    EXPECT_EQ(RDP_RES_NONE, none.Res());
    EXPECT_EQ(0u, none.Size());
    EXPECT_EQ(0u, none.GetDWORD());
    EXPECT_TRUE(log.Has(",255,E,GetBuf,,PROGRAM BUG!!,NO BUFFER"));

    // Appending gives it the header it already read as, and keeps the item.
    none.AddDWORD(0x01020304);
    EXPECT_EQ((std::vector<BYTE>{4, 0, 0, 0, 0, 0, 0xFF, 0xFF, 4, 3, 2, 1}), Bytes(none));
}

TEST(CRdpData, ReadsPastThePayloadCopyNothingAndKeepThePosition)
{
    TestLog log;
    CRdpData m(1, 0);
    m.AddDWORD(0x11223344);
    m.AddBuf("abc", 3);
    EXPECT_EQ(0x11223344u, m.GetDWORD());

    EXPECT_EQ(0u, m.GetDWORD());
    EXPECT_EQ(4u, m.ReadPos());
    EXPECT_TRUE(log.Has(",255,E,GetBuf,,PROGRAM BUG!!,BUFFER OVERRUN,8 vs 7"));

    BYTE out[5];
    memset(out, 0xbd, sizeof out);
    EXPECT_EQ(0u, m.GetBuf(out, 4));
    EXPECT_EQ(0xbd, out[0]);
    EXPECT_EQ(3u, m.GetBuf(out, 3));
    EXPECT_EQ(0, memcmp(out, "abc", 3));
    EXPECT_EQ(0xbd, out[3]);
    EXPECT_EQ(0u, m.GetBuf(nullptr, 0));
}

// Strings arrive from the other module: the scan stops at the payload's end
// and the copy at the destination's capacity.
TEST(CRdpData, GetStringRejectsUnterminatedAndOverlongStrings)
{
    static const struct {
        const char* name;
        std::vector<BYTE> payload;
        DWORD skip;   // bytes read before the string
        DWORD cch;
        DWORD measured;     // with a null destination
        const char* line;   // the error line when the copy is refused
    } cases[] = {
        {"no terminator", {'a', 0, 'b', 0}, 0, 10, RDP_STRING_BAD, "BUFFER OVERRUN,6 vs 4"},
        {"odd tail", {'a', 0, 0}, 0, 10, RDP_STRING_BAD, "BUFFER OVERRUN,4 vs 3"},
        {"at end", {1, 2, 3, 4}, 4, 10, RDP_STRING_BAD, "BUFFER OVERRUN,6 vs 4"},
        {"empty payload", {}, 0, 10, RDP_STRING_BAD, "BUFFER OVERRUN,2 vs 0"},
        {"one too long", {'a', 0, 'b', 0, 0, 0}, 0, 2, 2, "BUFFER OVERRUN,3 vs 2"},
        {"fits", {'a', 0, 'b', 0, 0, 0}, 0, 3, 2, nullptr},
        {"empty", {0, 0}, 0, 1, 0, nullptr},
        {"after dword", {1, 0, 0, 0, 'x', 0, 0, 0}, 4, 2, 1, nullptr},
        {"terminator after odd skip", {9, 'a', 0, 0, 0}, 1, 2, 1, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestLog log;
        CRdpData m(1, 0);
        m.AddBuf(c.payload.data(), (DWORD)c.payload.size());
        BYTE skipped[8];
        ASSERT_EQ(c.skip, m.GetBuf(skipped, c.skip, FALSE));
        EXPECT_EQ(c.measured, m.GetString(nullptr, 0));
        EXPECT_EQ(c.skip, m.ReadPos());
        WCHAR dest[16];
        memset(dest, 0xbd, sizeof dest);
        EXPECT_EQ(c.line ? RDP_STRING_BAD : c.measured, m.GetString(dest, c.cch));
        if (c.line) {
            EXPECT_EQ(c.skip, m.ReadPos());
            EXPECT_EQ(0, dest[0]);
            EXPECT_EQ(0xbdbd, (WORD)dest[1]);
            EXPECT_TRUE(log.Has(std::string(",255,E,GetString,,PROGRAM BUG!!,") + c.line)) << log.Text();
        } else {
            EXPECT_EQ(c.skip + (c.measured + 1) * 2, m.ReadPos());
            EXPECT_EQ(0, dest[c.measured]);
            EXPECT_EQ(0xbdbd, (WORD)dest[c.measured + 1]);
        }
    }
}

// A message that cannot grow raises, so that the client answers 0xFE00 and
// the server's handler sees it, and the message stays as it was.
TEST(CRdpData, GrowthBeyondWhatAMessageCanHoldRaises)
{
    CRdpData m(RDP_CMD_DOWNLOAD, RDP_RES_NONE);
    m.AddDWORD(5);
    BYTE byte = 0;
    RDPRESULT res = 0;
    try {
        m.AddBuf(&byte, 0xFFFFFFF8);
    } catch (const RdpException& e) {
        res = e.res;
    }
    EXPECT_EQ(RDP_RES_EXCEPTION, res);
    EXPECT_EQ((std::vector<BYTE>{4, 0, 0, 0, 3, 0, 0xFF, 0xFF, 5, 0, 0, 0}), Bytes(m));
}

TEST(CRdpData, CopiesAreDeepAndAssignmentReplacesContents)
{
    TestLog log;
    CRdpData a(3, 0);
    a.AddDWORD(42);
    a.AddString(L"piece");
    EXPECT_EQ(42u, a.GetDWORD());

    CRdpData b(a);
    EXPECT_NE(a.Heap(), b.Heap());
    EXPECT_NE(a.Buffer(), b.Buffer());
    EXPECT_EQ(Bytes(a), Bytes(b));
    EXPECT_EQ(4u, b.ReadPos());

    CRdpData c(1, 0);
    c.AddBuf(std::vector<BYTE>(5000, 1).data(), 5000);   // shrinks to the source's size
    c = a;
    EXPECT_EQ(Bytes(a), Bytes(c));
    EXPECT_EQ((SIZE_T)a.Size(), HeapSize(c.Heap(), 0, c.Buffer()));
    a.AddDWORD(7);
    EXPECT_NE(Bytes(a), Bytes(c));

    c = c;
    EXPECT_EQ(Bytes(b), Bytes(c));
    EXPECT_TRUE(log.Has(",32,,operator=,"));

    CRdpData none;
    c = none;
    EXPECT_EQ(nullptr, c.Buffer());
    EXPECT_EQ(RDP_RES_NONE, c.Res());
    EXPECT_EQ(0u, c.ReadPos());
}

TEST(RdpBlock, CuttingSizesSequenceAndFlags)
{
    static const struct {
        DWORD size;
        std::vector<DWORD> slices;
        std::vector<WORD> flags;
    } cases[] = {
        {0, {}, {}},
        {8, {8}, {3}},
        {6392, {6392}, {3}},
        {6393, {6392, 1}, {1, 2}},
        {12784, {6392, 6392}, {1, 2}},
        {20008, {6392, 6392, 6392, 832}, {1, 0, 0, 2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        std::vector<BYTE> msg = PatternMessage(c.size < 8 ? 8 : c.size);
        ASSERT_EQ(c.slices.size(), RdpBlockCount(c.size));
        DWORD offset = 0;
        for (WORD seq = 0; seq < c.slices.size(); seq++) {
            RDPBLOCKHEADER h;
            const BYTE* data = RdpBlockAt(msg.data(), c.size, seq, &h);
            EXPECT_EQ(msg.data() + offset, data);
            EXPECT_EQ(c.slices[seq], h.dwLength);
            EXPECT_EQ(seq, h.wSeq);
            EXPECT_EQ(c.flags[seq], h.wFlags);
            offset += h.dwLength;
        }
        RDPBLOCKHEADER past;
        EXPECT_EQ(nullptr, RdpBlockAt(msg.data(), c.size, (WORD)c.slices.size(), &past));
        EXPECT_EQ(0u, past.dwLength);
    }
    static const struct { WORD flags; LPCWSTR name; } names[] = {
        {0, L"BLOCK_FLAG_MIDDLE"}, {1, L"BLOCK_FLAG_FIRST"}, {2, L"BLOCK_FLAG_LAST"},
        {3, L"BLOCK_FLAG_ONLY"}, {4, L"BLOCK_FLAG !! UNKNOWN !!"}, {0xFFFF, L"BLOCK_FLAG !! UNKNOWN !!"},
    };
    for (const auto& n : names)
        EXPECT_STREQ(n.name, RdpBlockFlagName(n.flags)) << n.flags;
}

TEST(LoadBlock, ReassemblesWhatTheCuttingProduced)
{
    TestLog log;
    CRdpData recv;
    static const DWORD sizes[] = {8, 26, 6392, 6393, 20008, RDP_REQUEST_MAX};
    for (DWORD size : sizes) {
        SCOPED_TRACE(size);
        std::vector<BYTE> msg = PatternMessage(size);
        ASSERT_TRUE(LoadAll(recv, msg));
        EXPECT_EQ(msg, Bytes(recv));
        EXPECT_EQ(0u, recv.ReadPos());
        EXPECT_EQ((SIZE_T)size, HeapSize(recv.Heap(), 0, recv.Buffer()));
        recv.Clear();
        EXPECT_EQ(nullptr, recv.Buffer());
    }
    EXPECT_TRUE(log.Has(",32,>,LoadBlock,pData "));
    EXPECT_TRUE(log.Has(",dwLength 832,wSeq 3,BLOCK_FLAG_LAST"));
    EXPECT_TRUE(log.Has(",32,,LoadBlock,,RDP 20008 / 20008"));
    EXPECT_TRUE(log.Has(",64,,LoadBlock,,RDP COMPLETE"));
}

TEST(LoadBlock, TransportFaultsRaiseTheirCodes)
{
    std::vector<BYTE> msg = PatternMessage(108);
    static const struct {
        const char* name;
        std::vector<std::pair<DWORD, WORD>> blocks;   // (data bytes, wSeq); flags follow from position
        RDPRESULT res;
        const char* line;
    } cases[] = {
        {"skipped sequence", {{50, 0}, {58, 2}}, RDP_RES_SEQUENCE_ERROR, ",255,E,LoadBlock,,WHAT HAPPENED !?,SEQ(2)/must(1)"},
        {"repeated sequence", {{50, 0}, {20, 1}, {38, 1}}, RDP_RES_SEQUENCE_ERROR, "WHAT HAPPENED !?,SEQ(1)/must(2)"},
        {"more than announced", {{100, 0}, {9, 1}}, RDP_RES_RDP_OVERRUN, ",255,E,LoadBlock,,RDP OVERRUN !!,recv(109)/must(108)"},
        {"last leaves it short", {{100, 0}, {7, 1}}, RDP_RES_RDP_INCOMPLETE, ",255,E,LoadBlock,,RDP INCOMPLETE,recv(107)/must(108)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestLog log;
        CRdpData recv;
        RDPRESULT res = 0;
        DWORD at = 0;
        for (size_t i = 0; i < c.blocks.size() && !res; i++) {
            WORD flags = (i == 0 ? BLOCK_FLAG_FIRST : 0) | (i + 1 == c.blocks.size() ? BLOCK_FLAG_LAST : 0);
            res = LoadRaises(recv, msg.data() + at, c.blocks[i].first, c.blocks[i].second, flags);
            at += c.blocks[i].first;
        }
        EXPECT_EQ(c.res, res);
        EXPECT_TRUE(log.Has(c.line)) << log.Text();
    }
}

// The length field of a first block is untrusted: nothing is allocated for a
// block too short to hold it or for more than the largest request.
TEST(LoadBlock, FirstBlockMustCarryASaneLength)
{
    TestLog log;
    CRdpData recv;
    BYTE three[3] = {8, 0, 0};
    EXPECT_EQ(RDP_RES_RDP_INCOMPLETE, LoadRaises(recv, three, 3, 0, BLOCK_FLAG_ONLY));
    EXPECT_EQ(nullptr, recv.Buffer());
    EXPECT_TRUE(log.Has(",255,E,LoadBlock,,RDP INCOMPLETE,recv(3)/must(4)"));

    static const DWORD lens[] = {RDP_REQUEST_MAX - 8 + 1, 0x7FFFFFFF, 0xFFFFFFF8, 0xFFFFFFFF};
    for (DWORD len : lens) {
        SCOPED_TRACE(len);
        BYTE head[8] = {};
        memcpy(head, &len, 4);
        EXPECT_EQ(RDP_RES_RDP_OVERRUN, LoadRaises(recv, head, 8, 0, BLOCK_FLAG_FIRST));
        EXPECT_EQ(nullptr, recv.Buffer());
    }
    EXPECT_TRUE(log.Has(",255,E,LoadBlock,,RDP OVERRUN !!,len(4294967295)/max(160440)"));

    std::vector<BYTE> big(RDP_BLOCK_DATA_MAX + 1);
    EXPECT_EQ(RDP_RES_BLOCKSIZE_ERROR, LoadRaises(recv, big.data(), (DWORD)big.size(), 0, BLOCK_FLAG_ONLY));
}

TEST(LoadBlock, NewFirstBlockAbortsTheUnfinishedMessage)
{
    TestLog log;
    CRdpData recv;
    std::vector<BYTE> first = PatternMessage(9000);
    RDPBLOCKHEADER h;
    const BYTE* data = RdpBlockAt(first.data(), 9000, 0, &h);
    EXPECT_FALSE(recv.LoadBlock(data, h.dwLength, h.wSeq, h.wFlags));

    std::vector<BYTE> second = PatternMessage(20008);
    second[8] = 0x5A;
    EXPECT_TRUE(LoadAll(recv, second));
    EXPECT_EQ(second, Bytes(recv));
    char line[64];
    _snprintf(line, sizeof line, ",255,W,LoadBlock,,LAST RDP ABORTED,%p", recv.Heap());
    EXPECT_TRUE(log.Has(line)) << log.Text();
}

// After an error the client answers once and clears; the rest of that message
// must not produce a second answer, and the next message must load normally.
TEST(LoadBlock, RestOfAnAnsweredMessageIsIgnored)
{
    TestLog log;
    CRdpData recv;
    std::vector<BYTE> msg = PatternMessage(20008);
    RDPBLOCKHEADER h[4];
    const BYTE* data[4];
    for (WORD s = 0; s < 4; s++)
        data[s] = RdpBlockAt(msg.data(), 20008, s, &h[s]);

    EXPECT_FALSE(recv.LoadBlock(data[0], h[0].dwLength, h[0].wSeq, h[0].wFlags));
    EXPECT_EQ(RDP_RES_SEQUENCE_ERROR, LoadRaises(recv, data[2], h[2].dwLength, h[2].wSeq, h[2].wFlags));
    recv.Clear();
    EXPECT_FALSE(recv.LoadBlock(data[3], h[3].dwLength, h[3].wSeq, h[3].wFlags));
    EXPECT_EQ(nullptr, recv.Buffer());
    EXPECT_EQ(1u, log.Count(",255,E,LoadBlock,"));
    EXPECT_TRUE(log.Has(",255,W,LoadBlock,,NO RDP,SKIP,seq 3"));

    // A refused first block: its followers are dropped the same way.
    BYTE head[8] = {0xFF, 0xFF, 0xFF, 0x7F};
    EXPECT_EQ(RDP_RES_RDP_OVERRUN, LoadRaises(recv, head, 8, 0, BLOCK_FLAG_FIRST));
    recv.Clear();
    EXPECT_FALSE(recv.LoadBlock(data[1], h[1].dwLength, 1, BLOCK_FLAG_LAST));

    // Nor is a message that arrived by other means ever appended to.
    recv = CRdpData(RDP_CMD_GETFILEVER, RDP_RES_NONE);
    EXPECT_FALSE(recv.LoadBlock(data[1], h[1].dwLength, 0, BLOCK_FLAG_LAST));
    EXPECT_EQ(8u, recv.Size());

    EXPECT_TRUE(LoadAll(recv, msg));
    EXPECT_EQ(msg, Bytes(recv));
}
