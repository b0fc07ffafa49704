// Seeded corruption of blocks and messages on the client's receive path.
// Whatever arrives, LoadBlock either completes a message, ignores a block,
// or raises one of the framing codes; the readers never read or write outside
// the payload or the caller's buffer. Run with Wine's heap checking on.
#include <gtest/gtest.h>
#include <string.h>
#include <algorithm>
#include <map>
#include <random>
#include <vector>
#include "mutation.h"
#include "rdpcmd.h"

namespace {

// Blocks live in fixed slots so that corrupting and feeding them costs no
// heap traffic of the test's own: under heap checking that would dominate.
struct Block {
    RDPBLOCKHEADER h;
    BYTE data[RDP_BLOCK_MAX];   // any dwLength up to the block maximum stays readable
};

class Fuzzer {
public:
    explicit Fuzzer(unsigned seed) : rng_(seed) { blocks_.reserve(64); }

    DWORD Below(DWORD n) { return n ? (DWORD)(rng_() % n) : 0; }
    bool Chance(DWORD percent) { return Below(100) < percent; }

    std::wstring Text(DWORD maxChars)
    {
        std::wstring s(Below(maxChars + 1), L'a');
        for (auto& c : s)
            c = (wchar_t)(1 + Below(0xFFFE));
        return s;
    }

    // The server's requests, with sizes up to and a little past the bounds.
    void BuildPool(DWORD count)
    {
        for (DWORD i = 0; i < count; i++) {
            CRdpData req;
            switch (i % 4) {
            case 0:
                MakeInitializeRequest(req, rng_(), Text(300).c_str());
                break;
            case 1:
                MakeGetFileVerRequest(req);
                break;
            case 2: {
                DWORD size = i % 32 == 2 ? RDP_DOWNLOAD_PIECE_MAX : Below(20000);
                std::vector<BYTE> piece(size + 1, (BYTE)i);
                DWORD total = Chance(50) ? 0 : size + Below(1000);
                MakeDownloadRequest(req, total, Text(270).c_str(), piece.data(), size);
                break;
            }
            default:
                MakeGetPropertiesRequest(req, Text(1100).c_str(), Text(1100).c_str(), Text(1100).c_str());
                break;
            }
            pool_.emplace_back(req.Buffer(), req.Buffer() + req.Size());
        }
    }

    std::vector<Block>& CutOne()
    {
        const std::vector<BYTE>& msg = pool_[Below((DWORD)pool_.size())];
        DWORD size = (DWORD)msg.size();
        blocks_.resize(RdpBlockCount(size));
        for (WORD seq = 0; seq < blocks_.size(); seq++) {
            Block& b = blocks_[seq];
            const BYTE* p = RdpBlockAt(msg.data(), size, seq, &b.h);
            memcpy(b.data, p, b.h.dwLength);
        }
        return blocks_;
    }

    void Mutate()
    {
        std::vector<Block>& blocks = blocks_;
        if (blocks.empty())
            return;
        Block& b = blocks[Below((DWORD)blocks.size())];
        switch (Below(9)) {
        case 0:   // bit flips, often in the length field of the message
            for (DWORD n = 1 + Below(4); n; n--) {
                DWORD at = Chance(50) ? Below(8) : Below(b.h.dwLength + 1);
                b.data[at % RDP_BLOCK_MAX] ^= (BYTE)(1 << Below(8));
            }
            break;
        case 1:
            b.h.dwLength = Chance(10) ? RDP_BLOCK_DATA_MAX + 1 + Below(8) : Below(RDP_BLOCK_DATA_MAX + 1);
            break;
        case 2:
            b.h.wSeq = (WORD)(Chance(50) ? b.h.wSeq + 1 - Below(3) : rng_());
            break;
        case 3:
            b.h.wFlags = (WORD)Below(8);
            break;
        case 4:
            blocks.erase(blocks.begin() + Below((DWORD)blocks.size()));
            break;
        case 5: {
            Block copy = b;
            blocks.insert(blocks.begin() + Below((DWORD)blocks.size()), copy);
            break;
        }
        case 6:
            std::swap(b, blocks[Below((DWORD)blocks.size())]);
            break;
        case 7:
            blocks.resize(Below((DWORD)blocks.size()));
            break;
        default: {   // a stranger's block
            Block& x = *blocks.insert(blocks.begin() + Below((DWORD)blocks.size() + 1), Block());
            for (auto& c : x.data)
                c = (BYTE)rng_();
            x.h = {Below(RDP_BLOCK_DATA_MAX + 1), (WORD)Below(4), (WORD)Below(4)};
            break;
        }
        }
    }

private:
    std::mt19937 rng_;
    std::vector<std::vector<BYTE>> pool_;
    std::vector<Block> blocks_;
};

// Reads a string and checks what the reader promised about it.
void CheckedString(CRdpData& m, DWORD cch)
{
    static std::vector<WCHAR> dest;
    dest.assign(cch + 4, 0xbdbd);
    SIZE_T before = m.ReadPos();
    DWORD n = m.GetString(cch ? dest.data() : nullptr, cch);
    DWORD written = 0;
    if (n == RDP_STRING_BAD) {
        ASSERT_EQ(before, m.ReadPos());
        written = cch ? 1 : 0;
        if (cch) {
            ASSERT_EQ(0, dest[0]);
        }
    } else if (cch) {
        ASSERT_LT(n, cch);
        ASSERT_EQ(n, wcslen(dest.data()));
        ASSERT_EQ(before + (n + 1) * 2, m.ReadPos());
        written = n + 1;
    }
    for (DWORD i = written; i < dest.size(); i++)
        ASSERT_EQ(0xbdbd, (WORD)dest[i]) << "wrote past the string at " << i;
    ASSERT_LE(m.ReadPos(), m.Len());
}

// Sizes come off the wire too: one past the payload must fail without
// touching dest (a faulty copy would overrun dest, which the heap checking
// reports, so dest need not be as large as the size asked for).
void CheckedBuf(CRdpData& m, DWORD size)
{
    SIZE_T before = m.ReadPos();
    static std::vector<BYTE> dest;
    dest.assign(std::min<DWORD>(size, m.Len() + 4) + 4, 0xbd);
    DWORD got = m.GetBuf(dest.data(), size, FALSE);
    ASSERT_TRUE(got == 0 || got == size);
    ASSERT_EQ(before + got, m.ReadPos());
    ASSERT_LE(m.ReadPos(), m.Len());
    for (size_t i = got; i < dest.size(); i++)
        ASSERT_EQ(0xbd, dest[i]);
}

// The client's handlers read their items in this order with these buffers.
void ReadLikeTheClient(CRdpData& m)
{
    switch (m.Cmd()) {
    case RDP_CMD_INITIALIZE:
        m.GetDWORD();
        CheckedString(m, CCH_SERVER_USER);
        break;
    case RDP_CMD_DOWNLOAD: {
        if (m.GetDWORD())
            CheckedString(m, CCH_FILE_NAME);
        DWORD size = m.GetDWORD();
        CheckedBuf(m, size);
        break;
    }
    case RDP_CMD_GETPROPERTIES:
        CheckedString(m, CCH_PRINTER_NAME);
        CheckedString(m, CCH_REG_PATH);
        CheckedString(m, CCH_REG_PATH);
        break;
    default:
        break;
    }
    ASSERT_LE(m.ReadPos(), m.Len());
}

// With heap checking on, a write past any block shows here as a bad tail.
bool AllHeapsValid()
{
    HANDLE heaps[256];
    DWORD n = GetProcessHeaps(ARRAYSIZE(heaps), heaps);
    for (DWORD i = 0; i < n && i < ARRAYSIZE(heaps); i++)
        if (!HeapValidate(heaps[i], 0, nullptr))
            return false;
    return true;
}

bool IsFramingCode(RDPRESULT res)
{
    return res == RDP_RES_BLOCKSIZE_ERROR || res == RDP_RES_SEQUENCE_ERROR ||
           res == RDP_RES_RDP_OVERRUN || res == RDP_RES_RDP_INCOMPLETE;
}

}  // namespace

TEST(RdpMutation, CorruptedBlocksEndOnTheFramingPaths)
{
    const unsigned seed = mutation::Seed(20261207);
    const DWORD blockCount = mutation::CaseCount(22000);
    mutation::BeginRun("RdpMutation.Blocks", seed);
    Fuzzer fz(seed);
    fz.BuildPool(256);
    CRdpData recv;
    std::map<int, DWORD> outcomes;   // RDPRESULT, or 1 complete, 0 more needed, 2 ignored
    DWORD blocksFed = 0, messages = 0;
    while (blocksFed < blockCount) {
        mutation::NoteCase(messages);
        std::vector<Block>& blocks = fz.CutOne();
        for (DWORD n = 1 + fz.Below(3); n; n--)
            fz.Mutate();
        messages++;
        for (const Block& b : blocks) {
            blocksFed++;
            try {
                BOOL done = recv.LoadBlock(b.data, b.h.dwLength, b.h.wSeq, b.h.wFlags);
                outcomes[done ? 1 : recv.Buffer() ? 0 : 2]++;
                if (done) {
                    // Whole-heap checks are slow under heap checking: sample them.
                    if (outcomes[1] % 64 == 1) {
                        ASSERT_EQ((SIZE_T)recv.Size(), HeapSize(recv.Heap(), 0, recv.Buffer()));
                    }
                    ReadLikeTheClient(recv);
                    recv.Clear();
                }
            } catch (const RdpException& e) {
                ASSERT_TRUE(IsFramingCode(e.res)) << std::hex << e.res << std::dec << " seed " << seed << " message " << messages;
                outcomes[e.res]++;
                recv.Clear();
            }
            if (HasFatalFailure())
                return;
        }
        if (messages % 1024 == 0) {
            ASSERT_TRUE(AllHeapsValid()) << "message " << messages;
        }
    }
    EXPECT_TRUE(AllHeapsValid());
    for (auto& o : outcomes)
        printf("outcome %X: %lu\n", o.first, o.second);
    printf("%lu messages, %lu blocks\n", messages, blocksFed);
    for (int code : {0, 1, 2, RDP_RES_BLOCKSIZE_ERROR, RDP_RES_SEQUENCE_ERROR, RDP_RES_RDP_OVERRUN, RDP_RES_RDP_INCOMPLETE})
        EXPECT_GT(outcomes[code], 0u) << "never reached outcome " << std::hex << code;
}

// Whole messages of random bytes, framed correctly, through random reads.
TEST(RdpMutation, RandomPayloadsThroughTheReaders)
{
    const unsigned seed = mutation::Seed(7);
    const DWORD cases = mutation::CaseCount(20000);
    mutation::BeginRun("RdpMutation.Payloads", seed);
    Fuzzer fz(seed);
    CRdpData recv;
    std::vector<BYTE> msg(RDP_BLOCK_DATA_MAX);
    for (DWORD i = 0; i < cases; i++) {
        mutation::NoteCase(i);
        DWORD len = fz.Chance(90) ? fz.Below(64) : fz.Below(RDP_BLOCK_DATA_MAX - 8 + 1);
        for (DWORD j = 8; j < len + 8; j++)
            msg[j] = (BYTE)(fz.Chance(30) ? 0 : fz.Below(256));
        memcpy(msg.data(), &len, 4);
        WORD cmd = (WORD)fz.Below(6);
        memcpy(msg.data() + 4, &cmd, 2);
        ASSERT_TRUE(recv.LoadBlock(msg.data(), len + 8, 0, BLOCK_FLAG_ONLY));
        if (fz.Chance(50)) {
            ReadLikeTheClient(recv);
        } else {
            for (DWORD ops = fz.Below(8); ops; ops--) {
                switch (fz.Below(3)) {
                case 0:
                    recv.GetDWORD();
                    break;
                case 1:
                    CheckedBuf(recv, fz.Chance(10) ? 0xFFFFFFFF - fz.Below(8) : fz.Below(80));
                    break;
                default:
                    CheckedString(recv, fz.Below(40));
                    break;
                }
                ASSERT_LE(recv.ReadPos(), recv.Len());
            }
        }
        if (HasFatalFailure())
            return;
        recv.Clear();
        if (i % 4096 == 0) {
            ASSERT_TRUE(AllHeapsValid()) << "message " << i;
        }
    }
    EXPECT_TRUE(AllHeapsValid());
}
