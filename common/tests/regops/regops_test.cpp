#include <gtest/gtest.h>
#include <string.h>
#include "regops.h"
#include "regtree.h"

namespace {

// Old tree that every import in these tests replaces.
void FillOldTree(const ScratchKey& s, const std::wstring& key)
{
    SetValue(HKEY_CURRENT_USER, key, L"Old", REG_DWORD, DwordData(7));
    SetValue(HKEY_CURRENT_USER, key, nullptr, REG_SZ, SzData(L"old default"));
    SetValue(HKEY_CURRENT_USER, key + L"\\Sub\\Deep", L"Bin", REG_BINARY, {1, 2, 3});
    (void)s;
}

std::wstring Backup(const std::wstring& key) { return key + L"_backup"; }

TEST(ImportReg, KeyWithoutValuesReplacesTreeAndKeepsItUnderBackup)
{
    ScratchKey s(L"import-empty");
    std::wstring key = s.Sub(L"PrinterDriverData");
    FillOldTree(s, key);
    std::wstring before = DumpTree(HKEY_CURRENT_USER, key);

    std::vector<BYTE> image = BuildImage({{L"", {}}});
    ASSERT_EQ(24u, image.size());
    ASSERT_EQ(0u, ImportReg(HKEY_CURRENT_USER, key.c_str(), image.data(), (DWORD)image.size()));

    EXPECT_EQ(L"[]\n", DumpTree(HKEY_CURRENT_USER, key));
    EXPECT_EQ(before, DumpTree(HKEY_CURRENT_USER, Backup(key)));
    // A fresh backup replaces an older one, never mixed with it.
    SetValue(HKEY_CURRENT_USER, Backup(key) + L"\\Leftover", L"X", REG_DWORD, DwordData(1));
    EXPECT_EQ(0u, BackupReg(HKEY_CURRENT_USER, key.c_str(), Backup(key).c_str()));
    EXPECT_EQ(L"[]\n", DumpTree(HKEY_CURRENT_USER, Backup(key)));

    EXPECT_EQ(0u, DeleteBackupReg(HKEY_CURRENT_USER, key.c_str()));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Backup(key)));
    EXPECT_EQ(L"[]\n", DumpTree(HKEY_CURRENT_USER, key));
    // Nothing left to drop is not a failure.
    EXPECT_EQ(0u, DeleteBackupReg(HKEY_CURRENT_USER, key.c_str()));
}

TEST(ImportReg, ReadsTheWriterExampleByteForByte)
{
    // Exported key with REG_DWORD A = 1 and an empty subkey S, as the client writes it.
    static const BYTE example[60] = {
        0x3C, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 8, 0, 0, 0,
        0, 0, 0, 0, 1, 0, 0, 0,
        4, 0, 0, 0, 4, 0, 0, 0, 4, 0, 0, 0, 0x38, 0, 0, 0,
        0x41, 0, 0, 0,
        4, 0, 0, 0, 0, 0, 0, 0,
        0x53, 0, 0, 0,
        1, 0, 0, 0,
    };
    ScratchKey s(L"import-example");
    std::wstring key = s.Sub(L"K");
    EXPECT_EQ(std::vector<BYTE>(example, example + 60),
              BuildImage({{L"", {{L"A", REG_DWORD, DwordData(1)}}}, {L"S", {}}}));
    ASSERT_EQ(0u, ImportReg(HKEY_CURRENT_USER, key.c_str(), example, sizeof example));
    EXPECT_EQ(L"[]\n  \"A\" type=4 size=4:01000000\n[S]\n", DumpTree(HKEY_CURRENT_USER, key));
}

TEST(ImportReg, MissingKeyGetsNoBackupAndAnOlderBackupStaysAlone)
{
    ScratchKey s(L"import-missing");
    std::wstring key = s.Sub(L"Key");
    SetValue(HKEY_CURRENT_USER, Backup(key), L"Stale", REG_DWORD, DwordData(99));
    std::wstring staleBackup = DumpTree(HKEY_CURRENT_USER, Backup(key));

    std::vector<BYTE> image = BuildImage({{L"", {{L"V", REG_DWORD, DwordData(5)}}}});
    ASSERT_EQ(0u, ImportReg(HKEY_CURRENT_USER, key.c_str(), image.data(), (DWORD)image.size()));
    EXPECT_EQ(L"[]\n  \"V\" type=4 size=4:05000000\n", DumpTree(HKEY_CURRENT_USER, key));
    EXPECT_EQ(staleBackup, DumpTree(HKEY_CURRENT_USER, Backup(key)));

    // Into a fresh parent: no backup key appears at all.
    std::wstring fresh = s.Sub(L"New\\Key");
    ASSERT_EQ(0u, ImportReg(HKEY_CURRENT_USER, fresh.c_str(), image.data(), (DWORD)image.size()));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Backup(fresh)));
}

TEST(ImportReg, DefaultValuesEmptyDataAndNestedKeysLandWhereTheyBelong)
{
    ScratchKey s(L"import-tree");
    std::wstring key = s.Sub(L"Key");
    FillOldTree(s, key);
    std::vector<BYTE> multi = SzData(L"a");
    multi.push_back(0);
    multi.push_back(0);
    std::vector<BYTE> image = BuildImage({
        {L"", {{L"", REG_SZ, SzData(L"default")}, {L"Empty", REG_BINARY, {}}, {L"Multi", REG_MULTI_SZ, multi}}},
        {L"A", {{L"", REG_DWORD, DwordData(0x01020304)}}},
        {L"A\\B", {{L"Exp", REG_EXPAND_SZ, SzData(L"%TEMP%")}}},
        {L"C", {}},
    });
    ASSERT_EQ(0u, ImportReg(HKEY_CURRENT_USER, key.c_str(), image.data(), (DWORD)image.size()));

    std::wstring dump = DumpTree(HKEY_CURRENT_USER, key);
    EXPECT_EQ(L"[]\n"
              L"  \"\" type=1 size=16:640065006600610075006c0074000000\n"
              L"  \"Empty\" type=3 size=0:\n"
              L"  \"Multi\" type=7 size=6:610000000000\n"
              L"[A]\n"
              L"  \"\" type=4 size=4:04030201\n"
              L"[A\\B]\n"
              L"  \"Exp\" type=2 size=14:2500540045004d00500025000000\n"
              L"[C]\n", dump);

    WCHAR text[32];
    DWORD cb = sizeof text;
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, text, &cb));
    EXPECT_STREQ(L"default", text);
}

TEST(ImportReg, FailedValueWriteRestoresThePreviousTreeAndReportsTheError)
{
    ScratchKey s(L"import-fail");
    std::wstring key = s.Sub(L"Key");
    FillOldTree(s, key);
    std::wstring before = DumpTree(HKEY_CURRENT_USER, key);
    // The failing value sits in the second key, after a key was fully written.
    std::vector<BYTE> image = BuildImage({
        {L"", {{L"New", REG_DWORD, DwordData(1)}}},
        {L"X", {{L"Ok", REG_DWORD, DwordData(2)}, {L"FailOnWrite", REG_DWORD, DwordData(3)}}},
    });
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, ImportReg(HKEY_CURRENT_USER, key.c_str(), image.data(), (DWORD)image.size()));
    EXPECT_EQ(before, DumpTree(HKEY_CURRENT_USER, key));
    EXPECT_EQ(before, DumpTree(HKEY_CURRENT_USER, Backup(key)));
}

TEST(ImportReg, FailedWriteIntoAKeyThatDidNotExistLeavesNoKeyAndTheOlderBackup)
{
    ScratchKey s(L"import-fail-new");
    std::wstring key = s.Sub(L"Key");
    SetValue(HKEY_CURRENT_USER, Backup(key), L"Stale", REG_DWORD, DwordData(99));
    std::wstring staleBackup = DumpTree(HKEY_CURRENT_USER, Backup(key));
    std::vector<BYTE> image = BuildImage({{L"", {{L"FailOnWrite", REG_DWORD, DwordData(3)}}}});
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, ImportReg(HKEY_CURRENT_USER, key.c_str(), image.data(), (DWORD)image.size()));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, key));
    EXPECT_EQ(staleBackup, DumpTree(HKEY_CURRENT_USER, Backup(key)));
}

// Patches a DWORD of a valid image.
std::vector<BYTE> Patched(std::vector<BYTE> img, size_t offset, DWORD v)
{
    memcpy(img.data() + offset, &v, 4);
    return img;
}

TEST(ImportReg, MalformedImageChangesNothing)
{
    ScratchKey s(L"import-bad");
    std::wstring key = s.Sub(L"Key");
    FillOldTree(s, key);
    std::wstring before = DumpTree(HKEY_CURRENT_USER, key);

    // Layout of `good`: header 0..15, root key record 16..23, value record
    // 24..39 with name "N" 40..43, key record 44..51 with name "S" 52..55, data 56..59.
    std::vector<BYTE> good = BuildImage({{L"", {{L"N", REG_DWORD, DwordData(1)}}}, {L"S", {}}});
    ASSERT_EQ(60u, good.size());
    std::vector<BYTE> truncated(good.begin(), good.end() - 4);
    std::vector<BYTE> noNul = Patched(good, 52, 0x00540053);   // "ST" without a NUL inside the size
    std::wstring longName(256, L'v');
    std::wstring longPath(255 - key.size(), L'k');   // key + "\" + this is 256 characters

    static const struct { const char* name; size_t offset; DWORD value; } patches[] = {
        {"total size larger than the block", 0, 61},
        {"no key record", 4, 0},
        {"more key records than bytes", 4, 3},
        {"value count above the records", 8, 2},
        {"name total off by two", 12, 6},
        {"odd name size", 24, 3},
        {"name size beyond the image", 24, 0x1000},
        {"name size of a bare NUL", 44, 2},
        {"data offset beyond the image", 36, 61},
        {"data end beyond the image", 32, 5},
        {"data size wrapping around", 32, 0xFFFFFFFF},
        {"value records beyond the image", 20, 4},
    };
    std::vector<std::pair<std::string, std::vector<BYTE>>> cases;
    for (const auto& p : patches)
        cases.push_back({p.name, Patched(good, p.offset, p.value)});
    cases.push_back({"truncated", Patched(truncated, 0, 56)});
    cases.push_back({"name without NUL", noNul});
    cases.push_back({"value name of 256 characters", BuildImage({{L"", {{longName, REG_DWORD, DwordData(1)}}}})});
    cases.push_back({"key path of 256 characters", BuildImage({{L"", {}}, {longPath, {}}})});
    cases.push_back({"relative path with an empty component", BuildImage({{L"", {}}, {L"A\\\\B", {}}})});
    cases.push_back({"relative path with a leading backslash", BuildImage({{L"", {}}, {L"\\A", {}}})});
    cases.push_back({"header only", std::vector<BYTE>(good.begin(), good.begin() + 12)});

    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        EXPECT_EQ(REG_STATUS_BAD_ARGUMENT, ImportReg(HKEY_CURRENT_USER, key.c_str(), c.second.data(), (DWORD)c.second.size()));
        EXPECT_EQ(before, DumpTree(HKEY_CURRENT_USER, key));
        EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Backup(key)));
    }
    // Size argument that disagrees with the header, and missing arguments.
    EXPECT_EQ(REG_STATUS_BAD_ARGUMENT, ImportReg(HKEY_CURRENT_USER, key.c_str(), good.data(), 59));
    EXPECT_EQ(REG_STATUS_BAD_ARGUMENT, ImportReg(HKEY_CURRENT_USER, key.c_str(), good.data(), 0));
    EXPECT_EQ(REG_STATUS_BAD_ARGUMENT, ImportReg(HKEY_CURRENT_USER, key.c_str(), nullptr, 60));
    EXPECT_EQ(REG_STATUS_BAD_ARGUMENT, ImportReg(HKEY_CURRENT_USER, nullptr, good.data(), 60));
    EXPECT_EQ(REG_STATUS_BAD_ARGUMENT, ImportReg(nullptr, key.c_str(), good.data(), 60));
    EXPECT_EQ(before, DumpTree(HKEY_CURRENT_USER, key));
    // The longest relative path that still fits is taken.
    std::wstring fits(254 - key.size(), L'k');
    std::vector<BYTE> edge = BuildImage({{L"", {}}, {fits, {}}});
    EXPECT_EQ(0u, ImportReg(HKEY_CURRENT_USER, key.c_str(), edge.data(), (DWORD)edge.size()));
}

TEST(RegOperations, RefuseKeyPathsThatWouldReachOutsideTheKey)
{
    ScratchKey s(L"paths");
    std::wstring key = s.Sub(L"Key");
    FillOldTree(s, key);
    std::wstring before = DumpTree(HKEY_CURRENT_USER, s.Path());
    std::vector<BYTE> image = BuildImage({{L"", {}}});
    std::wstring tooLong = s.Sub(std::wstring(249 - s.Path().size() - 1, L'x'));
    ASSERT_EQ(249u, tooLong.size());
    // An empty path would delete the whole root; a trailing backslash would
    // put the backup inside the key it backs up.
    const std::wstring bad[] = {L"", key + L"\\", L"\\" + key, s.Path() + L"\\\\Key", tooLong};
    for (const std::wstring& path : bad) {
        SCOPED_TRACE(path);
        EXPECT_EQ(REG_STATUS_BAD_ARGUMENT, ImportReg(HKEY_CURRENT_USER, path.c_str(), image.data(), (DWORD)image.size()));
        EXPECT_EQ(REG_STATUS_BAD_ARGUMENT, RestoreReg(HKEY_CURRENT_USER, path.c_str()));
        EXPECT_EQ(REG_STATUS_BAD_ARGUMENT, DeleteBackupReg(HKEY_CURRENT_USER, path.c_str()));
    }
    EXPECT_EQ(before, DumpTree(HKEY_CURRENT_USER, s.Path()));
    // 248 characters leave room for "_backup".
    std::wstring longest = tooLong.substr(0, 248);
    EXPECT_EQ(0u, ImportReg(HKEY_CURRENT_USER, longest.c_str(), image.data(), (DWORD)image.size()));
}

TEST(RestoreReg, PutsTheBackupBackExactlyAndKeepsIt)
{
    ScratchKey s(L"restore");
    std::wstring key = s.Sub(L"Key");
    FillOldTree(s, key);
    std::wstring before = DumpTree(HKEY_CURRENT_USER, key);
    // Without a backup nothing changes.
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, RestoreReg(HKEY_CURRENT_USER, key.c_str()));
    EXPECT_EQ(before, DumpTree(HKEY_CURRENT_USER, key));
    std::vector<BYTE> image = BuildImage({{L"", {{L"New", REG_DWORD, DwordData(1)}}}, {L"Other", {}}});
    ASSERT_EQ(0u, ImportReg(HKEY_CURRENT_USER, key.c_str(), image.data(), (DWORD)image.size()));
    ASSERT_NE(before, DumpTree(HKEY_CURRENT_USER, key));

    EXPECT_EQ(0u, RestoreReg(HKEY_CURRENT_USER, key.c_str()));
    EXPECT_EQ(before, DumpTree(HKEY_CURRENT_USER, key));
    EXPECT_EQ(before, DumpTree(HKEY_CURRENT_USER, Backup(key)));
}

}  // namespace

// What a killed import leaves behind: a complete backup beside a half-written
// key, or a staging copy that never got the backup's name.
TEST(ImportReg, LeftoversOfAKilledImportKeepTheLastGoodState)
{
    ScratchKey s(L"import-leftovers");
    std::wstring key = s.Sub(L"Key"), staging = s.Sub(L"_backup~");
    FillOldTree(s, key);
    std::wstring good = DumpTree(HKEY_CURRENT_USER, key);
    ASSERT_EQ(0u, BackupReg(HKEY_CURRENT_USER, key.c_str(), Backup(key).c_str()));
    SetValue(HKEY_CURRENT_USER, key + L"\\Half", L"Written", REG_DWORD, DwordData(1));

    // The half-written key is replaced; the backup stays the last good state,
    // also when this import fails in turn.
    std::vector<BYTE> failing = BuildImage({{L"", {{L"FailOnWrite", REG_DWORD, DwordData(3)}}}});
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, ImportReg(HKEY_CURRENT_USER, key.c_str(), failing.data(), (DWORD)failing.size()));
    EXPECT_EQ(good, DumpTree(HKEY_CURRENT_USER, key));
    EXPECT_EQ(good, DumpTree(HKEY_CURRENT_USER, Backup(key)));
    SetValue(HKEY_CURRENT_USER, key + L"\\Half", L"Written", REG_DWORD, DwordData(1));
    std::vector<BYTE> image = BuildImage({{L"", {{L"V", REG_DWORD, DwordData(5)}}}});
    ASSERT_EQ(0u, ImportReg(HKEY_CURRENT_USER, key.c_str(), image.data(), (DWORD)image.size()));
    EXPECT_EQ(L"[]\n  \"V\" type=4 size=4:05000000\n", DumpTree(HKEY_CURRENT_USER, key));
    EXPECT_EQ(good, DumpTree(HKEY_CURRENT_USER, Backup(key)));
    EXPECT_EQ(0u, RestoreReg(HKEY_CURRENT_USER, key.c_str()));
    EXPECT_EQ(good, DumpTree(HKEY_CURRENT_USER, key));

    // After success the backup goes as before, leaving no staging key.
    ASSERT_EQ(0u, DeleteBackupReg(HKEY_CURRENT_USER, key.c_str()));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Backup(key)));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, staging));

    // A staging copy cut short is no backup: the next import backs the
    // intact key up afresh and clears the staging key away.
    SetValue(HKEY_CURRENT_USER, staging + L"\\Partial", L"P", REG_DWORD, DwordData(1));
    ASSERT_EQ(0u, ImportReg(HKEY_CURRENT_USER, key.c_str(), image.data(), (DWORD)image.size()));
    EXPECT_EQ(good, DumpTree(HKEY_CURRENT_USER, Backup(key)));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, staging));
}

// String data without a NUL of its own is stored exactly as the image holds
// it, whatever follows it in the image (the registry function looks one
// character past the data and would store a NUL it finds there).
TEST(ImportReg, StringDataLandsByteForByteWithoutItsNul)
{
    ScratchKey s(L"import-strings");
    std::wstring key = s.Sub(L"Key");
    static const struct { DWORD type; std::vector<BYTE> data; } rows[] = {
        {REG_SZ, {'a', 0, 'b', 0}},
        {REG_EXPAND_SZ, {'a', 0, 'b'}},
        {REG_MULTI_SZ, {'a'}},
        {REG_SZ, {0, 0}},
    };
    for (const auto& row : rows) {
        // A value whose data is two zero bytes follows, then nothing.
        std::vector<BYTE> image = BuildImage({{L"", {{L"S", row.type, row.data}, {L"Z", REG_BINARY, {0, 0}}, {L"T", row.type, row.data}}}});
        ASSERT_EQ(0u, ImportReg(HKEY_CURRENT_USER, key.c_str(), image.data(), (DWORD)image.size()));
        for (LPCWSTR name : {L"S", L"T"}) {
            BYTE got[16];
            DWORD type = 0, cb = sizeof got;
            HKEY k;
            ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &k));
            LSTATUS st = RegQueryValueExW(k, name, nullptr, &type, got, &cb);
            RegCloseKey(k);
            ASSERT_EQ(ERROR_SUCCESS, st);
            EXPECT_EQ(row.type, type) << "type " << row.type << " size " << row.data.size();
            EXPECT_EQ(row.data, std::vector<BYTE>(got, got + cb)) << "type " << row.type << " size " << row.data.size();
        }
        DeleteBackupReg(HKEY_CURRENT_USER, key.c_str());
    }
}
