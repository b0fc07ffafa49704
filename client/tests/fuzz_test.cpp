// Seeded mutations of the server's writes and of request payloads, fed
// through the channel callbacks. Each server write is answered at most once,
// every reply is well formed, and a clean request afterwards is always
// answered exactly once: whatever came before, the client stays in step.
#include <gtest/gtest.h>
#include "fakechannel.h"
#include "log.h"
#include "mutation.h"
#include <string.h>

namespace {

using namespace FakeChannel;

class Rng {
public:
    explicit Rng(DWORD seed) : s_(seed ? seed : 1) {}
    DWORD Next() { s_ ^= s_ << 13; s_ ^= s_ >> 17; s_ ^= s_ << 5; return s_; }
    DWORD Below(DWORD n) { return n ? Next() % n : 0; }
    bool OneIn(DWORD n) { return Below(n) == 0; }
private:
    DWORD s_;
};

std::wstring RandomText(Rng& r, DWORD maxLen)
{
    std::wstring s;
    DWORD n = r.Below(maxLen + 1);
    for (DWORD i = 0; i < n; i++)
        s += (WCHAR)(r.OneIn(4) ? 0x3042 + r.Below(80) : L'A' + r.Below(26));
    return s;
}

// A registry root for the properties requests, so that mutated paths stay
// small and inside keys this process owns.
struct FuzzKeys {
    std::wstring root = UniqueName(L"QuorvaneFuzz");
    FuzzKeys()
    {
        for (HKEY hive : { HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE }) {
            HKEY k;
            if (RegCreateKeyExW(hive, (root + L"\\P\\Sub").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                                nullptr) == ERROR_SUCCESS) {
                DWORD v = 1;
                RegSetValueExW(k, L"v", 0, REG_DWORD, (const BYTE*)&v, sizeof v);
                RegCloseKey(k);
            }
        }
    }
    ~FuzzKeys()
    {
        RegDeleteTreeW(HKEY_CURRENT_USER, root.c_str());
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, root.c_str());
    }
};

Bytes RandomRequest(Rng& r, const FuzzKeys& keys)
{
    Payload p;
    WORD cmd = (WORD)r.Below(7);
    switch (cmd) {
    case 1:
        p.Dword(r.Next()).Str(RandomText(r, 40));
        break;
    case 2:
        break;
    case 3:
        p.Dword(r.Below(3) ? r.Below(5000) : 0).Str(L"Quorvane_CL32.dll").Dword(r.Below(64)).Raw("0123456789", 10);
        break;
    case 4:
        p.Str(r.OneIn(3) ? L"Local" : RandomText(r, 30))
            .Str(keys.root + (r.OneIn(2) ? L"\\P" : L"\\Q"))
            .Str(keys.root + L"\\P\\Sub");
        break;
    default: {
        Bytes junk(r.OneIn(4) ? r.Below(20000) : r.Below(64));
        for (BYTE& b : junk)
            b = (BYTE)r.Next();
        p.Raw(junk.data(), junk.size());
    }
    }
    return MakeMessage(cmd, p.bytes());
}

// Mutations at the level of the server's writes: what a broken or hostile
// server (or a damaged channel) could hand over.
int Mutate(Rng& r, std::vector<Bytes>& writes)
{
    int count = (int)r.Below(4);
    for (int i = 0; i < count && !writes.empty(); i++) {
        Bytes& w = writes[r.Below((DWORD)writes.size())];
        switch (r.Below(8)) {
        case 0:   // flip bytes anywhere
            for (DWORD n = 1 + r.Below(4); n && !w.empty(); n--)
                w[r.Below((DWORD)w.size())] ^= (BYTE)(1 + r.Below(255));
            break;
        case 1:   // a field of the block or message header
            if (w.size() >= 16)
                w[r.Below(16)] = (BYTE)r.Next();
            break;
        case 2:   // cut short
            w.resize(r.Below((DWORD)w.size() + 1));
            break;
        case 3:   // grown, possibly past a block's limit
            w.resize(w.size() + 1 + r.Below(r.OneIn(3) ? 8000 : 40), (BYTE)r.Next());
            break;
        case 4:
            writes.push_back(w);
            break;
        case 5:
            writes.erase(writes.begin() + r.Below((DWORD)writes.size()));
            break;
        case 6:
            if (writes.size() > 1)
                std::swap(writes[0], writes[writes.size() - 1]);
            break;
        default: {   // the len field of the message itself
            if (w.size() >= 12) {
                DWORD len = r.OneIn(2) ? r.Next() : r.Below(400);
                memcpy(&w[8], &len, 4);
            }
        }
        }
    }
    return count;
}

void ExpectWellFormed(const Bytes& reply)
{
    ASSERT_GE(reply.size(), 8u);
    ReplyView v(reply);
    ASSERT_EQ(reply.size(), 8u + v.len);
    if ((v.res & 0xFF00) == 0xFE00) {
        EXPECT_EQ(0, v.cmd);
        EXPECT_EQ(0u, v.len);
    } else {
        EXPECT_LE(v.cmd, 4);
    }
}

class ChannelFuzz : public testing::Test {
protected:
    void SetUp() override
    {
        Install(UniqueName(L"fuzz"));
        // The log and the notify icon would dominate the run, and downloads
        // must not touch this program's folder: no log, no icon, no update right.
        LogEnd();
        ExitInstance();
        ReleaseUpdateMutex();
    }
    void TearDown() override
    {
        CompleteAll();
        Disconnect();
    }
};

TEST_F(ChannelFuzz, MutatedWritesAreAnsweredAtMostOnceAndTheNextRequestExactlyOnce)
{
    // make test runs a small share of the cases the run had when it was written;
    // make fuzz runs as many as it is told.
    const int CASES = (int)mutation::CaseCount(3000);
    FuzzKeys keys;
    Rng r(mutation::Seed(0x51564C43));
    DWORD heaps = GetProcessHeaps(0, nullptr);
    Bytes probe = CutBlocks(MakeMessage(5, Bytes(24, 0x11)))[0];
    int mutated = 0, replies = 0, failures = 0;
    for (int c = 0; c < CASES && failures < 5; c++) {
        std::vector<Bytes> serverWrites = CutBlocks(RandomRequest(r, keys));
        WORD cmd = ReplyView(Bytes(serverWrites[0].begin() + 8, serverWrites[0].end())).cmd;
        bool clean = Mutate(r, serverWrites) == 0;
        mutated += !clean;
        size_t before = writes.size();
        for (const Bytes& w : serverWrites) {
            size_t n = writes.size();
            DeliverWrite(w);
            if (writes.size() - n > 1) {
                ADD_FAILURE() << "case " << c << ": one server write answered " << writes.size() - n << " times";
                failures++;
            }
        }
        for (size_t i = before; i < writes.size(); i++)
            ExpectWellFormed(writes[i]);
        if (clean && (writes.size() - before != 1 || ReplyView(writes.back()).cmd != (cmd <= 4 ? cmd : 0))) {
            ADD_FAILURE() << "case " << c << ": a clean request of CMD " << cmd << " drew " << writes.size() - before
                          << " replies";
            failures++;
        }
        replies += (int)(writes.size() - before);
        CompleteAll(r.OneIn(2) ? CHANNEL_EVENT_WRITE_COMPLETE : CHANNEL_EVENT_WRITE_CANCELLED);

        before = writes.size();
        DeliverWrite(probe);
        if (writes.size() - before != 1 || LastRes() != 0xFFFF) {
            ADD_FAILURE() << "case " << c << ": the request after it drew " << writes.size() - before << " replies";
            failures++;
        }
        CompleteAll();
        writes.clear();
    }
    EXPECT_EQ(heaps, GetProcessHeaps(0, nullptr)) << "reply heaps left behind";
    EXPECT_GT(mutated, CASES / 2);
    EXPECT_GT(replies, CASES / 2);
}

// Chunk-level damage the Remote Desktop client itself never produces: flags,
// totals and lengths that disagree. Nothing is promised but a well-formed
// reply per chunk at most, and recovery at the next clean request.
TEST_F(ChannelFuzz, DisagreeingChunkFieldsNeverBreakTheChannel)
{
    const int CASES = (int)mutation::CaseCount(1000);
    FuzzKeys keys;
    Rng r(mutation::Seed(0x43484E4B));
    Bytes probe = CutBlocks(MakeMessage(5, Bytes(24, 0x11)))[0];
    int failures = 0;
    for (int c = 0; c < CASES && failures < 5; c++) {
        Bytes w = CutBlocks(RandomRequest(r, keys))[0];
        UINT32 total = (UINT32)w.size();
        for (UINT32 done = 0; done < w.size();) {
            UINT32 n = (UINT32)w.size() - done < 1600 ? (UINT32)w.size() - done : 1600;
            UINT32 flags = (done == 0 ? 1 : 0) | (done + n == w.size() ? 2 : 0);
            if (r.OneIn(3))
                flags = r.Below(4);
            UINT32 t = r.OneIn(4) ? r.Below(7000) : total;
            UINT32 len = r.OneIn(8) ? r.Below(n + 1) : n;
            size_t before = writes.size();
            Chunk(w.data() + done, len, t, flags);
            if (writes.size() - before > 1) {
                ADD_FAILURE() << "case " << c << ": one chunk answered " << writes.size() - before << " times";
                failures++;
            }
            for (size_t i = before; i < writes.size(); i++)
                ExpectWellFormed(writes[i]);
            done += n;
        }
        CompleteAll();
        size_t before = writes.size();
        DeliverWrite(probe);
        if (writes.size() - before != 1 || LastRes() != 0xFFFF) {
            ADD_FAILURE() << "case " << c << ": the request after it drew " << writes.size() - before << " replies";
            failures++;
        }
        CompleteAll();
        writes.clear();
    }
}

}  // namespace
