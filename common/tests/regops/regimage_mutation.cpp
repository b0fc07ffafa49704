// Seeded corruption of registry tree images. Every case goes through
// ValidateRegImage, which must agree with a decoder written here from the
// format alone; a sample goes on through ImportReg into a scratch key: a
// refused image leaves the scratch tree byte for byte as it was, an accepted
// one leaves exactly the tree that the decoder read from it. Images end at a
// no-access page, so a read past the image faults. Run with Wine's heap
// checking on.
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>
#include "mutation.h"
#include "regops.h"
#include "regtree.h"

namespace {

using mutation::Rng;

struct MValue {
    std::wstring name;
    DWORD type;
    std::vector<BYTE> data;
};
struct MKey {
    std::wstring relative;
    std::vector<MValue> values;
};

// An image and where its fields lie, so that mutations can aim at them.
struct Layout {
    std::vector<BYTE> bytes;
    std::vector<size_t> fields;       // every DWORD field of every record
    std::vector<size_t> keyRecords;
    std::vector<size_t> valueRecords;
    std::vector<size_t> names;        // first character of each name
};

void Put32(std::vector<BYTE>& b, DWORD v) { b.insert(b.end(), (BYTE*)&v, (BYTE*)&v + 4); }
DWORD Get32(const std::vector<BYTE>& b, size_t at) { DWORD v; memcpy(&v, &b[at], 4); return v; }
void Set32(std::vector<BYTE>& b, size_t at, DWORD v) { memcpy(&b[at], &v, 4); }
DWORD NameSize(const std::wstring& s) { return s.empty() ? 0 : (DWORD)(s.size() + 1) * 2; }

void PutName(Layout& l, const std::wstring& s)
{
    if (s.empty())
        return;
    l.names.push_back(l.bytes.size());
    l.bytes.insert(l.bytes.end(), (const BYTE*)s.c_str(), (const BYTE*)(s.c_str() + s.size() + 1));
}

// The exporter's layout: header, records in order, data back to back.
Layout Lay(const std::vector<MKey>& keys)
{
    Layout l;
    DWORD values = 0, names = 0, data = 0;
    for (const MKey& k : keys) {
        names += NameSize(k.relative);
        for (const MValue& v : k.values) {
            values++;
            names += NameSize(v.name);
            data += (DWORD)v.data.size();
        }
    }
    DWORD dataAt = 16 + 8 * (DWORD)keys.size() + 16 * values + names;
    for (DWORD f = 0; f < 4; f++)
        l.fields.push_back(f * 4);
    Put32(l.bytes, dataAt + data);
    Put32(l.bytes, (DWORD)keys.size());
    Put32(l.bytes, values);
    Put32(l.bytes, names);
    std::vector<BYTE> area;
    for (const MKey& k : keys) {
        l.keyRecords.push_back(l.bytes.size());
        l.fields.push_back(l.bytes.size());
        l.fields.push_back(l.bytes.size() + 4);
        Put32(l.bytes, NameSize(k.relative));
        Put32(l.bytes, (DWORD)k.values.size());
        PutName(l, k.relative);
        for (const MValue& v : k.values) {
            l.valueRecords.push_back(l.bytes.size());
            for (DWORD f = 0; f < 4; f++)
                l.fields.push_back(l.bytes.size() + f * 4);
            Put32(l.bytes, NameSize(v.name));
            Put32(l.bytes, v.type);
            Put32(l.bytes, (DWORD)v.data.size());
            Put32(l.bytes, dataAt + (DWORD)area.size());
            PutName(l, v.name);
            area.insert(area.end(), v.data.begin(), v.data.end());
        }
    }
    l.bytes.insert(l.bytes.end(), area.begin(), area.end());
    return l;
}

// --- The decoder: the format and the registry's limits, nothing else ---

// A tree as the registry would hold it: names compare without case.
std::wstring Fold(const std::wstring& s)
{
    std::wstring f = s;
    for (auto& c : f)
        if (c >= L'a' && c <= L'z')
            c = (WCHAR)(c - 32);
    return f;
}
struct TValue {
    DWORD type;
    std::vector<BYTE> data;
};
typedef std::map<std::wstring, std::map<std::wstring, TValue>> Tree;   // folded key path -> folded value name

bool ReadName(const std::vector<BYTE>& img, size_t& pos, DWORD cb, size_t maxChars, std::wstring* name)
{
    name->clear();
    if (cb == 0)
        return true;
    if (cb % 2 || cb < 4 || cb > img.size() - pos || cb / 2 - 1 > maxChars)
        return false;
    const WCHAR* w = (const WCHAR*)&img[pos];
    size_t chars = cb / 2 - 1;
    if (w[chars] != 0)
        return false;
    for (size_t i = 0; i < chars; i++)
        if (w[i] == 0)
            return false;
    name->assign(w, chars);
    pos += cb;
    return true;
}

bool PathWellFormed(const std::wstring& rel)
{
    return rel.front() != L'\\' && rel.back() != L'\\' && rel.find(L"\\\\") == std::wstring::npos;
}

void AddKey(Tree& tree, const std::wstring& rel)
{
    // Creating A\B creates A on the way.
    for (size_t at = rel.find(L'\\'); at != std::wstring::npos; at = rel.find(L'\\', at + 1))
        tree[Fold(rel.substr(0, at))];
    tree[Fold(rel)];
}

// Decodes an image meant for the import path importPath; false when it cannot
// be applied as it stands.
bool Decode(const std::vector<BYTE>& img, size_t importPathChars, Tree* tree)
{
    tree->clear();
    size_t size = img.size();
    if (size < 16 || Get32(img, 0) != size || Get32(img, 4) == 0)
        return false;
    const size_t maxRelative = 255 - importPathChars - 1;
    size_t pos = 16;
    DWORD values = 0, names = 0;
    for (DWORD k = 0; k < Get32(img, 4); k++) {
        if (size - pos < 8)
            return false;
        DWORD cbName = Get32(img, pos), nValues = Get32(img, pos + 4);
        pos += 8;
        std::wstring rel;
        if (!ReadName(img, pos, cbName, maxRelative, &rel) || (!rel.empty() && !PathWellFormed(rel)))
            return false;
        names += cbName;
        AddKey(*tree, rel);
        auto& key = (*tree)[Fold(rel)];
        for (DWORD v = 0; v < nValues; v++) {
            if (size - pos < 16)
                return false;
            DWORD cbValueName = Get32(img, pos), type = Get32(img, pos + 4);
            DWORD cbData = Get32(img, pos + 8), offset = Get32(img, pos + 12);
            pos += 16;
            std::wstring name;
            if (!ReadName(img, pos, cbValueName, 255, &name))
                return false;
            if ((ULONGLONG)offset + cbData > size)
                return false;
            names += cbValueName;
            values++;
            key[Fold(name)] = TValue{type, std::vector<BYTE>(img.begin() + offset, img.begin() + offset + cbData)};
        }
    }
    return values == Get32(img, 8) && names == Get32(img, 12);
}

void ReadKey(HKEY key, const std::wstring& rel, Tree& tree)
{
    auto& values = tree[Fold(rel)];
    for (DWORD i = 0;; i++) {
        WCHAR name[300];
        DWORD cch = ARRAYSIZE(name), type = 0, cb = 0;
        if (RegEnumValueW(key, i, name, &cch, nullptr, &type, nullptr, &cb) != ERROR_SUCCESS)
            break;
        TValue& v = values[Fold(name)];
        v.type = type;
        v.data.resize(cb);
        cch = ARRAYSIZE(name);
        RegEnumValueW(key, i, name, &cch, nullptr, nullptr, cb ? v.data.data() : nullptr, &cb);
    }
    for (DWORD i = 0;; i++) {
        WCHAR name[300];
        DWORD cch = ARRAYSIZE(name);
        if (RegEnumKeyExW(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        HKEY sub;
        if (RegOpenKeyExW(key, name, 0, KEY_READ, &sub) == ERROR_SUCCESS) {
            ReadKey(sub, rel.empty() ? name : rel + L"\\" + name, tree);
            RegCloseKey(sub);
        }
    }
}

Tree ReadTree(HKEY root, const std::wstring& path)
{
    Tree tree;
    HKEY key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        ReadKey(key, L"", tree);
        RegCloseKey(key);
    }
    return tree;
}

std::string Describe(const Tree& t)
{
    std::string out;
    for (const auto& k : t) {
        out += "[" + std::string(k.first.begin(), k.first.end()) + "]";
        for (const auto& v : k.second) {
            char line[64];
            snprintf(line, sizeof line, " t=%lx n=%zu", v.second.type, v.second.data.size());
            out += " \"" + std::string(v.first.begin(), v.first.end()) + "\"" + line;
        }
        out += "\n";
    }
    return out;
}

// --- Generation and mutation ---

class ImageFuzzer {
public:
    ImageFuzzer(unsigned seed, size_t importPathChars) : rng_(seed), maxRelative_(255 - importPathChars - 1) {}

    std::wstring Component(DWORD maxChars)
    {
        static const WCHAR alphabet[] = L"aAbB. _\x00e9z";
        std::wstring s(1 + rng_.Below(maxChars), L'a');
        for (auto& c : s)
            c = alphabet[rng_.Below(ARRAYSIZE(alphabet) - 1)];
        return s;
    }

    std::vector<BYTE> Data(DWORD type)
    {
        std::vector<BYTE> d(rng_.Chance(10) ? 0 : rng_.Below(rng_.Chance(5) ? 3000 : 24));
        for (auto& b : d)
            b = (BYTE)(rng_.Chance(40) ? 0 : rng_.Next());
        if ((type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) && rng_.Chance(50)) {
            d.resize(d.size() & ~1u);
            d.push_back(0);
            d.push_back(0);
        }
        return d;
    }

    std::vector<MKey> Tree()
    {
        static const DWORD types[] = {REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD, REG_NONE};
        std::vector<MKey> keys(1 + rng_.Below(5));
        for (size_t k = 1; k < keys.size(); k++) {
            // A child of an earlier key, or a new first-level key.
            const std::wstring& parent = keys[rng_.Below((DWORD)k)].relative;
            keys[k].relative = parent.empty() ? Component(6) : parent + L"\\" + Component(6);
        }
        for (MKey& k : keys) {
            k.values.resize(rng_.Below(4));
            for (MValue& v : k.values) {
                v.name = rng_.Chance(15) ? L"" : Component(8);
                v.type = rng_.Chance(5) ? rng_.Next() : types[rng_.Below(ARRAYSIZE(types))];
                v.data = Data(v.type);
            }
        }
        // Names at and just past the limits.
        if (rng_.Chance(10) && keys.size() > 1) {
            std::wstring& rel = keys[1 + rng_.Below((DWORD)keys.size() - 1)].relative;
            rel.resize(maxRelative_ + rng_.Below(2) - (rng_.Chance(20) ? 1 : 0), L'k');
            if (rng_.Chance(30) && rel.size() > 2)
                rel[rel.size() / 2] = L'\\';
        }
        if (rng_.Chance(10)) {
            for (MKey& k : keys)
                if (!k.values.empty()) {
                    k.values[0].name.assign(255 + rng_.Below(2) - (rng_.Chance(20) ? 1 : 0), L'v');
                    break;
                }
        }
        return keys;
    }

    void Mutate(Layout& l)
    {
        std::vector<BYTE>& b = l.bytes;
        switch (rng_.Below(10)) {
        case 0: {   // a field one or two off
            size_t at = l.fields[rng_.Below((DWORD)l.fields.size())];
            Set32(b, at, Get32(b, at) + (DWORD)((int)rng_.Below(5) - 2));
            break;
        }
        case 1: {   // a field at a boundary
            static const DWORD marks[] = {0, 1, 2, 3, 4, 16, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF};
            size_t at = l.fields[rng_.Below((DWORD)l.fields.size())];
            DWORD size = (DWORD)b.size();
            DWORD pick = rng_.Below(ARRAYSIZE(marks) + 3);
            Set32(b, at, pick < ARRAYSIZE(marks) ? marks[pick] : size - (pick - ARRAYSIZE(marks)));
            break;
        }
        case 2: {   // cut or grown, the total size following
            if (rng_.Chance(50) && b.size() > 16)
                b.resize(16 + rng_.Below((DWORD)b.size() - 16));
            else
                for (DWORD n = 1 + rng_.Below(8); n; n--)
                    b.push_back((BYTE)(rng_.Chance(50) ? 0 : rng_.Next()));
            Set32(b, 0, (DWORD)b.size());
            break;
        }
        case 3: {   // one more or one less value under a key, the header agreeing
            if (l.keyRecords.empty())
                break;
            size_t at = l.keyRecords[rng_.Below((DWORD)l.keyRecords.size())] + 4;
            int d = rng_.Chance(50) ? 1 : -1;
            Set32(b, at, Get32(b, at) + d);
            Set32(b, 8, Get32(b, 8) + d);
            break;
        }
        case 4: {   // one key record more or less
            Set32(b, 4, Get32(b, 4) + (rng_.Chance(50) ? 1 : -1));
            break;
        }
        case 5: {   // data moved onto another value's data, or to the very end
            if (l.valueRecords.empty())
                break;
            size_t at = l.valueRecords[rng_.Below((DWORD)l.valueRecords.size())];
            size_t other = l.valueRecords[rng_.Below((DWORD)l.valueRecords.size())];
            DWORD size = (DWORD)b.size();
            switch (rng_.Below(3)) {
            case 0: Set32(b, at + 12, Get32(b, other + 12)); break;
            case 1: Set32(b, at + 8, size - Get32(b, at + 12)); break;
            default: Set32(b, at + 12, size - Get32(b, at + 8)); break;
            }
            break;
        }
        case 6: {   // a name's size two off, the name total agreeing
            size_t at = rng_.Chance(50) && !l.valueRecords.empty()
                ? l.valueRecords[rng_.Below((DWORD)l.valueRecords.size())]
                : l.keyRecords[rng_.Below((DWORD)l.keyRecords.size())];
            int d = rng_.Chance(50) ? 2 : -2;
            Set32(b, at, Get32(b, at) + d);
            Set32(b, 12, Get32(b, 12) + d);
            break;
        }
        case 7: {   // a character of a name made a NUL or a backslash
            if (l.names.empty())
                break;
            size_t at = l.names[rng_.Below((DWORD)l.names.size())];
            WCHAR c = rng_.Chance(50) ? L'\\' : 0;
            size_t shift = 2 * rng_.Below(4);
            if (at + shift + 2 <= b.size())
                memcpy(&b[at + shift], &c, 2);
            break;
        }
        default: {   // bit flips anywhere
            for (DWORD n = 1 + rng_.Below(3); n; n--)
                b[rng_.Below((DWORD)b.size())] ^= (BYTE)(1 << rng_.Below(8));
            break;
        }
        }
    }

    Rng& rng() { return rng_; }

private:
    Rng rng_;
    size_t maxRelative_;
};

void FillOldTree(const std::wstring& key)
{
    SetValue(HKEY_CURRENT_USER, key, L"Old", REG_SZ, SzData(L"old"));
    SetValue(HKEY_CURRENT_USER, key + L"\\Sub", nullptr, REG_DWORD, DwordData(7));
}

}  // namespace

TEST(RegImageMutation, ValidationAgreesWithTheFormatAndImportsLeaveExactlyTheImage)
{
    const unsigned seed = mutation::Seed(20261207);
    const DWORD cases = mutation::CaseCount(20000);
    mutation::BeginRun("RegImageMutation", seed);
    ScratchKey s(L"image-mutation");
    const std::wstring key = s.Sub(L"Key");
    FillOldTree(key);
    const std::wstring scratchBefore = DumpTree(HKEY_CURRENT_USER, s.Path());
    const Tree oldTree = ReadTree(HKEY_CURRENT_USER, key);

    ImageFuzzer fz(seed, key.size());
    mutation::GuardedBuffer guard(1 << 20);
    DWORD accepted = 0, refused = 0, imported = 0, importFailed = 0, refusedImports = 0;
    for (DWORD i = 0; i < cases; i++) {
        mutation::NoteCase(i);
        Layout l = Lay(fz.Tree());
        for (DWORD n = fz.rng().Below(4); n; n--)
            fz.Mutate(l);
        const std::vector<BYTE>& img = l.bytes;
        const BYTE* placed = guard.Place(img.data(), img.size());
        Tree expected;
        bool decodes = Decode(img, key.size(), &expected);
        DWORD status = ValidateRegImage(key.c_str(), placed, (DWORD)img.size());
        ASSERT_EQ(decodes ? 0u : (DWORD)REG_STATUS_BAD_ARGUMENT, status) << "seed " << seed << " case " << i;
        (decodes ? accepted : refused)++;

        bool sample = decodes ? accepted % 5 == 1 : refused % 25 == 1;
        if (!sample)
            continue;
        status = ImportReg(HKEY_CURRENT_USER, key.c_str(), placed, (DWORD)img.size());
        if (!decodes) {
            refusedImports++;
            ASSERT_EQ((DWORD)REG_STATUS_BAD_ARGUMENT, status) << "seed " << seed << " case " << i;
            ASSERT_EQ(scratchBefore, DumpTree(HKEY_CURRENT_USER, s.Path())) << "seed " << seed << " case " << i;
            continue;
        }
        if (status == 0) {
            imported++;
            Tree got = ReadTree(HKEY_CURRENT_USER, key);
            ASSERT_EQ(Describe(expected), Describe(got)) << "seed " << seed << " case " << i;
            for (const auto& k : expected)
                for (const auto& v : k.second)
                    ASSERT_TRUE(v.second.data == got[k.first][v.first].data)
                        << "seed " << seed << " case " << i << " value \"" << std::string(v.first.begin(), v.first.end()) << "\"";
        } else {
            // The registry may refuse what the format allows; the key is then back as it was.
            importFailed++;
            ASSERT_EQ(Describe(oldTree), Describe(ReadTree(HKEY_CURRENT_USER, key))) << "seed " << seed << " case " << i << " status " << status;
        }
        ASSERT_EQ(Describe(oldTree), Describe(ReadTree(HKEY_CURRENT_USER, key + REG_BACKUP_SUFFIX))) << "seed " << seed << " case " << i;
        // Back to the starting point for the next sample.
        RegDeleteTreeW(HKEY_CURRENT_USER, s.Path().c_str());
        FillOldTree(key);
        if (imported % 64 == 1) {
            ASSERT_TRUE(mutation::AllHeapsValid()) << "seed " << seed << " case " << i;
        }
    }
    EXPECT_TRUE(mutation::AllHeapsValid());
    printf("%lu cases: %lu accepted, %lu refused; imported %lu, import failed %lu, refused imports %lu\n",
           cases, accepted, refused, imported, importFailed, refusedImports);
    // The run must reach both sides deeply enough to mean something.
    EXPECT_GT(accepted, cases / 10);
    EXPECT_GT(refused, cases / 10);
}
