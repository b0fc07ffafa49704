// Seeded corruption of elevated request files on the worker's read path.
// Every case is written to a file and read by ReadRegRequest, which must
// agree with a decoder written here from the file layout alone: what it
// accepts it returns exactly (operation, root, path, image), what it refuses
// it refuses with the layout status. A sample goes on through
// PerformRegRequest: requests for anything but the test's own printer key are
// refused without a change under the machine key. Run with Wine's heap
// checking on.
#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include <vector>
#include "admin.h"
#include "module.h"
#include "mutation.h"
#include "regops.h"
#include "regtree.h"

namespace {

using mutation::Rng;

const ULONGLONG kHklm = 0xFFFFFFFF80000002ull;
const DWORD kHeader = sizeof(REGREQUESTHEADER);
const DWORD kPathBytesMax = 256 * sizeof(WCHAR);

struct Decoded {
    DWORD op;
    ULONGLONG root;
    std::wstring path;
    std::vector<BYTE> image;
};

DWORD Get32(const std::vector<BYTE>& b, size_t at) { DWORD v; memcpy(&v, &b[at], 4); return v; }
void Set32(std::vector<BYTE>& b, size_t at, DWORD v) { memcpy(&b[at], &v, 4); }

// The request's layout and the worker's buffer, nothing else.
bool Decode(const std::vector<BYTE>& f, Decoded* d)
{
    if (f.size() < kHeader)
        return false;
    DWORD op = Get32(f, 0), cbPath = Get32(f, 16), cbData = Get32(f, 20);
    // Data only for an import, which must carry some.
    if (cbPath == 0 || (op == REG_OP_IMPORT) != (cbData != 0) || op > REG_OP_RESTORE)
        return false;
    if (cbPath % 2 || cbPath > kPathBytesMax || f.size() - kHeader < cbPath)
        return false;
    // Exactly the request: nothing after its end.
    if (f.size() != kHeader + (ULONGLONG)cbPath + cbData)
        return false;
    const WCHAR* path = (const WCHAR*)&f[kHeader];
    size_t chars = 0;
    while (chars < cbPath / 2 && path[chars])
        chars++;
    if (chars == cbPath / 2)
        return false;
    d->op = op;
    memcpy(&d->root, &f[8], 8);
    d->path.assign(path, chars);
    d->image.clear();
    if (op != REG_OP_IMPORT)
        return true;
    if (f.size() - kHeader - cbPath < cbData)
        return false;
    d->image.assign(f.begin() + kHeader + cbPath, f.begin() + kHeader + cbPath + cbData);
    return true;
}

// What the reader returned is exactly what the layout says.
bool Same(const Decoded& want, const RegRequest& got)
{
    return want.op == got.op && (HKEY)(ULONG_PTR)want.root == got.root && want.path == got.path
           && want.image.size() == got.imageSize
           && (want.image.empty() || memcmp(want.image.data(), got.image, want.image.size()) == 0);
}

class RequestFuzzer {
public:
    RequestFuzzer(unsigned seed, const std::wstring& printerPath) : rng_(seed), printerPath_(printerPath) {}

    std::vector<BYTE> Image()
    {
        std::vector<ImageKey> keys(1 + rng_.Below(3));
        for (size_t k = 1; k < keys.size(); k++)
            keys[k].relative = L"S" + std::to_wstring(k);
        for (ImageKey& k : keys)
            for (DWORD n = rng_.Below(3); n; n--)
                k.values.push_back({L"V" + std::to_wstring(n), REG_DWORD, DwordData(rng_.Next())});
        return BuildImage(keys);
    }

    std::wstring Path()
    {
        switch (rng_.Below(6)) {
        case 0: return std::wstring(255 + rng_.Below(3) - 1, L'p');   // at the buffer's end
        case 1: return L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Other\\Sub\\PrinterDriverData";
        case 2: return L"Software\\QuorvaneTest";
        default: return printerPath_;
        }
    }

    // A request as the server writes it, then bent.
    std::vector<BYTE> Next()
    {
        DWORD op = rng_.Chance(90) ? rng_.Below(3) : rng_.Next();
        std::wstring path = Path();
        std::vector<BYTE> image = op == REG_OP_IMPORT || rng_.Chance(10) ? Image() : std::vector<BYTE>();
        REGREQUESTHEADER h = {op, rng_.Next(), rng_.Chance(90) ? kHklm : (ULONGLONG)rng_.Next() << rng_.Below(33),
                              (DWORD)(path.size() + 1) * 2, (DWORD)image.size()};
        std::vector<BYTE> f(kHeader + h.cbPath + image.size());
        memcpy(&f[0], &h, kHeader);
        memcpy(&f[kHeader], path.c_str(), h.cbPath);
        if (!image.empty())
            memcpy(&f[kHeader + h.cbPath], image.data(), image.size());
        for (DWORD n = rng_.Below(4); n; n--)
            Mutate(f);
        return f;
    }

    Rng& rng() { return rng_; }

private:
    void Mutate(std::vector<BYTE>& f)
    {
        static const size_t fields[] = {0, 16, 20};
        switch (rng_.Below(7)) {
        case 0: {   // a size one or two off
            size_t at = fields[rng_.Below(3)];
            if (f.size() >= at + 4)
                Set32(f, at, Get32(f, at) + (DWORD)((int)rng_.Below(5) - 2));
            break;
        }
        case 1: {   // a size at a boundary
            static const DWORD marks[] = {0, 1, 2, 510, 512, 514, 0x7FFFFFFF, 0xFFFFFFFE, 0xFFFFFFFF};
            size_t at = fields[1 + rng_.Below(2)];
            if (f.size() >= at + 4)
                Set32(f, at, rng_.Chance(30) ? (DWORD)f.size() - kHeader : marks[rng_.Below(ARRAYSIZE(marks))]);
            break;
        }
        case 2:   // cut short
            f.resize(rng_.Below((DWORD)f.size() + 1));
            break;
        case 3:   // trailing bytes
            for (DWORD n = 1 + rng_.Below(16); n; n--)
                f.push_back((BYTE)rng_.Next());
            break;
        case 4:   // the path's NUL gone, or a NUL inside it
            if (f.size() >= kHeader + 4) {
                size_t chars = (f.size() - kHeader) / 2;
                size_t at = kHeader + 2 * rng_.Below((DWORD)std::min<size_t>(chars, 300));
                WCHAR c = rng_.Chance(50) ? 0 : L'x';
                memcpy(&f[at], &c, 2);
            }
            break;
        case 5:   // the image's size following a cut
            if (f.size() >= kHeader && f.size() - kHeader >= Get32(f, 16))
                Set32(f, 20, (DWORD)(f.size() - kHeader - Get32(f, 16)) + (DWORD)((int)rng_.Below(3) - 1));
            break;
        default:
            if (!f.empty())
                f[rng_.Below((DWORD)f.size())] ^= (BYTE)(1 << rng_.Below(8));
            break;
        }
    }

    Rng rng_;
    std::wstring printerPath_;
};

void WriteRequest(const std::wstring& file, const std::vector<BYTE>& bytes)
{
    HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    DWORD written = 0;
    ASSERT_TRUE(bytes.empty() || WriteFile(h, bytes.data(), (DWORD)bytes.size(), &written, nullptr));
    CloseHandle(h);
}

}  // namespace

TEST(RequestMutation, TheWorkerReadsExactlyTheLayoutAndRefusesTheRest)
{
    const unsigned seed = mutation::Seed(20261208);
    const DWORD cases = mutation::CaseCount(20000);
    mutation::BeginRun("RequestMutation", seed);

    WCHAR name[80];
    FormatStr(name, ARRAYSIZE(name), L"QvFuzz-%lu", GetCurrentProcessId());
    const std::wstring printerKey = std::wstring(L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\") + name;
    const std::wstring printerPath = printerKey + L"\\PrinterDriverData";
    SetValue(HKEY_LOCAL_MACHINE, printerPath, L"Old", REG_DWORD, DwordData(1));

    WCHAR tmp[MAX_PATH];
    GetTempPathW(MAX_PATH, tmp);
    FormatStr(name, ARRAYSIZE(name), L"qv request fuzz %lu.tmp", GetCurrentProcessId());
    const std::wstring file = std::wstring(tmp) + name;

    RequestFuzzer fz(seed, printerPath);
    DWORD accepted = 0, refused = 0, performed = 0, turnedAway = 0;
    for (DWORD i = 0; i < cases; i++) {
        mutation::NoteCase(i);
        std::vector<BYTE> f = fz.Next();
        WriteRequest(file, f);
        Decoded want;
        bool decodes = Decode(f, &want);
        RegRequest got;
        DWORD status = ReadRegRequest(file.c_str(), &got);
        ASSERT_EQ(decodes ? 0u : (DWORD)REG_STATUS_BAD_ARGUMENT, status) << "seed " << seed << " case " << i;
        if (!decodes) {
            refused++;
            continue;
        }
        accepted++;
        ASSERT_TRUE(Same(want, got)) << "case " << i;

        // A sample is carried out: the worker touches the test's own printer
        // key or nothing at all.
        if (accepted % 50 != 1)
            continue;
        bool ours = got.root == HKEY_LOCAL_MACHINE && _wcsicmp(got.path, printerPath.c_str()) == 0;
        bool anyPrinter = got.root == HKEY_LOCAL_MACHINE && IsPrinterDriverDataPath(got.path);
        if (anyPrinter && !ours)
            continue;   // some other printer's data: not for a test to write
        // The key named and the test's own, as they were. Not the whole
        // printers' tree: other test processes change it meanwhile, and an
        // enumeration by index then skips or repeats keys.
        HKEY named = got.root == HKEY_LOCAL_MACHINE || got.root == HKEY_CURRENT_USER ? got.root : nullptr;
        // A key above the printers' key holds theirs too, which other test
        // processes change meanwhile: the refusal and the test's own key
        // are what is compared then.
        static const WCHAR printers[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers";
        size_t cch = wcslen(got.path);
        if (named == HKEY_LOCAL_MACHINE && cch <= wcslen(printers) && _wcsnicmp(got.path, printers, cch) == 0
            && (cch == 0 || printers[cch] == 0 || printers[cch] == L'\\'))
            named = nullptr;
        const std::wstring namedBefore = named ? DumpTree(named, got.path) : L"";
        const std::wstring ownBefore = DumpTree(HKEY_LOCAL_MACHINE, printerKey);
        status = PerformRegRequest(got);
        if (!ours) {
            turnedAway++;
            ASSERT_EQ((DWORD)REG_STATUS_BAD_ARGUMENT, status) << "seed " << seed << " case " << i;
            ASSERT_EQ(namedBefore, named ? DumpTree(named, got.path) : L"") << "seed " << seed << " case " << i;
            ASSERT_EQ(ownBefore, DumpTree(HKEY_LOCAL_MACHINE, printerKey)) << "seed " << seed << " case " << i;
            continue;
        }
        performed++;
        if (got.op == REG_OP_IMPORT) {
            DWORD valid = ValidateRegImage(got.path, got.image, got.imageSize);
            ASSERT_EQ(valid, status) << "seed " << seed << " case " << i;
        }
        // Back to the starting point.
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, printerKey.c_str());
        SetValue(HKEY_LOCAL_MACHINE, printerPath, L"Old", REG_DWORD, DwordData(1));
        if (performed % 32 == 1) {
            ASSERT_TRUE(mutation::AllHeapsValid()) << "case " << i;
        }
    }
    DeleteFileW(file.c_str());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, printerKey.c_str());
    EXPECT_TRUE(mutation::AllHeapsValid());
    printf("%lu cases: %lu accepted, %lu refused; performed %lu, turned away %lu\n",
           cases, accepted, refused, performed, turnedAway);
    EXPECT_GT(accepted, cases / 10);
    EXPECT_GT(refused, cases / 10);
    EXPECT_GT(performed, 0u);
    EXPECT_GT(turnedAway, 0u);
}

namespace {

// The service's source: a stream of unknown length that may end early. The
// bytes end at a no-access page, so that a read past them faults.
struct StreamSource {
    const BYTE* bytes;
    size_t size, at;
};

BOOL StreamHasMore(void* context)
{
    auto* s = (StreamSource*)context;
    return s->at < s->size;
}

DWORD ReadStream(void* context, void* buffer, DWORD size)
{
    auto* s = (StreamSource*)context;
    if (s->size - s->at < size) {
        s->at = s->size;
        return REG_STATUS_BAD_ARGUMENT;
    }
    memcpy(buffer, s->bytes + s->at, size);
    s->at += size;
    return 0;
}

}  // namespace

TEST(RequestMutation, TheServicesReaderTakesExactlyTheLayoutFromAStream)
{
    const unsigned seed = mutation::Seed(20261209);
    const DWORD cases = mutation::CaseCount(20000);
    mutation::BeginRun("RequestMutation stream", seed);
    RequestFuzzer fz(seed, L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\P (redirected 1)\\PrinterDriverData");
    mutation::GuardedBuffer guarded(1 << 16);
    DWORD accepted = 0, refused = 0;
    for (DWORD i = 0; i < cases; i++) {
        mutation::NoteCase(i);
        std::vector<BYTE> f = fz.Next();
        ASSERT_LE(f.size(), (size_t)(1 << 16));
        StreamSource stream = {guarded.Place(f.data(), f.size()), f.size(), 0};
        RegRequestSource source = {ReadStream, &stream, MAXULONGLONG, REG_REQUEST_IMAGE_MAX, StreamHasMore};
        Decoded want;
        bool decodes = Decode(f, &want);
        RegRequest got;
        ASSERT_EQ(decodes ? 0u : (DWORD)REG_STATUS_BAD_ARGUMENT, ReadRegRequestFrom(source, &got))
            << "seed " << seed << " case " << i;
        // An image past the bound is refused before a byte of it is asked for.
        if (f.size() >= kHeader && Get32(f, 0) == REG_OP_IMPORT && Get32(f, 20) > REG_REQUEST_IMAGE_MAX) {
            ASSERT_LE(stream.at, (size_t)kHeader) << "case " << i;
        }
        if (!decodes) {
            refused++;
            continue;
        }
        accepted++;
        ASSERT_TRUE(Same(want, got)) << "case " << i;
        if (accepted % 1000 == 1) {
            ASSERT_TRUE(mutation::AllHeapsValid()) << "case " << i;
        }
    }
    EXPECT_TRUE(mutation::AllHeapsValid());
    printf("%lu cases: %lu accepted, %lu refused\n", cases, accepted, refused);
    EXPECT_GT(accepted, cases / 10);
    EXPECT_GT(refused, cases / 10);
}
