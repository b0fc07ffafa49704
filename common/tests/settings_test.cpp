#include <gtest/gtest.h>
#include <string>
#include "module.h"
#include "settings.h"
#include "scratch.h"

namespace {

void MakeFile(const std::wstring& path, const std::string& bytes)
{
    WriteBytes(path, bytes);
    ASSERT_TRUE(FileExists(path));
}

bool IsFolder(const std::wstring& path)
{
    DWORD attr = GetFileAttributesW(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
}

// A drive letter that names nothing on this machine.
std::wstring MissingDrive()
{
    DWORD drives = GetLogicalDrives();
    for (int d = 'Y' - 'A'; d > 'D' - 'A'; d--)
        if (!(drives & (1u << d)))
            return std::wstring(1, (WCHAR)(L'A' + d)) + L":";
    return L"";
}

}  // namespace

TEST(LocateCommonIni, OlderFileOnlyWhenTheNewOneIsMissing)
{
    ScratchFolder data;
    CreateFolder((data.path() + OLD_COMPANY_FOLDER).c_str());
    std::wstring older = data.path() + OLD_COMPANY_FOLDER + COMMON_INI_NAME;
    std::wstring newer = data.path() + COMPANY_FOLDER + COMMON_INI_NAME;
    MakeFile(older, "[Server]\r\nInterval=45\r\n");

    WCHAR ini[MAX_PATH];
    ASSERT_TRUE(LocateCommonIniIn(data.path().c_str(), ini));
    EXPECT_EQ(older, ini);
    EXPECT_EQ(45u, GetPrivateProfileIntW(L"Server", L"Interval", 30, ini));

    CreateFolder((data.path() + COMPANY_FOLDER).c_str());
    MakeFile(newer, "[Server]\r\nInterval=60\r\n");
    ASSERT_TRUE(LocateCommonIniIn(data.path().c_str(), ini));
    EXPECT_EQ(newer, ini);

    std::wstring tooLong(MAX_PATH, L'x');
    EXPECT_FALSE(LocateCommonIniIn(tooLong.c_str(), ini));
}

TEST(LocateUserIni, OlderFileIsTakenOverOnceAndNeverAgain)
{
    ScratchFolder roaming;
    std::wstring oldFolder = roaming.path() + OLD_COMPANY_FOLDER;
    ASSERT_TRUE(CreateFolder(oldFolder.c_str()));
    std::wstring older = oldFolder + L"\\Quorvane_taro.ini";
    MakeFile(older, "[Server]\r\nLogSize=7\r\n");

    WCHAR ini[MAX_PATH];
    ASSERT_TRUE(LocateUserIniIn(roaming.path().c_str(), L"taro", ini));
    EXPECT_EQ(roaming.path() + COMPANY_FOLDER + L"\\Quorvane_taro.ini", ini);
    EXPECT_EQ("[Server]\r\nLogSize=7\r\n", ReadBytes(ini));

    // The older file changes later; the file in use keeps its own values.
    MakeFile(older, "[Server]\r\nLogSize=9\r\n");
    WritePrivateProfileStringW(L"Server", L"LogRotate", L"3", ini);
    ASSERT_TRUE(LocateUserIniIn(roaming.path().c_str(), L"taro", ini));
    EXPECT_EQ(7u, GetPrivateProfileIntW(L"Server", L"LogSize", 0, ini));
    EXPECT_EQ(3u, GetPrivateProfileIntW(L"Server", L"LogRotate", 0, ini));
}

TEST(LocateUserIni, NoOlderFileAndUnusableRoots)
{
    ScratchFolder roaming;
    WCHAR ini[MAX_PATH];
    ASSERT_TRUE(LocateUserIniIn(roaming.path().c_str(), L"hanako", ini));
    EXPECT_TRUE(IsFolder(roaming.path() + COMPANY_FOLDER));
    EXPECT_FALSE(FileExists(ini));

    MakeFile(roaming / L"file", "x");
    EXPECT_FALSE(LocateUserIniIn((roaming / L"file").c_str(), L"hanako", ini));
    EXPECT_EQ(L"", std::wstring(ini));
    EXPECT_FALSE(LocateUserIniIn(roaming.path().c_str(), std::wstring(MAX_PATH, L'u').c_str(), ini));
    EXPECT_EQ(L"", std::wstring(ini));
}

TEST(LocateSettingsFiles, UserNameSectionAndPath)
{
    WCHAR saved[MAX_PATH];
    lstrcpynW(saved, g_szUserIni, MAX_PATH);
    static const struct {
        ModuleKind kind;
        LPCWSTR section;
    } rows[] = {{MODULE_CLIENT, L"Client"}, {MODULE_SERVER, L"Server"}};
    for (auto& r : rows) {
        g_ModuleKind = r.kind;
        ASSERT_TRUE(LocateSettingsFiles());
        EXPECT_STREQ(r.section, g_szSection);
        WCHAR user[256];
        DWORD cch = ARRAYSIZE(user);
        ASSERT_TRUE(GetUserNameW(user, &cch));
        EXPECT_STREQ(user, g_szUserName);
        std::wstring tail = std::wstring(COMPANY_FOLDER) + L"\\Quorvane_" + user + L".ini";
        std::wstring path = g_szUserIni;
        ASSERT_GT(path.size(), tail.size());
        EXPECT_EQ(tail, path.substr(path.size() - tail.size()));
    }
    lstrcpynW(g_szUserIni, saved, MAX_PATH);
}

TEST(CreateFolder, CreatesParentsAndRefusesWhatItCannotBe)
{
    ScratchFolder dir;
    MakeFile(dir / L"file", "x");
    std::wstring drive = MissingDrive();
    ASSERT_FALSE(drive.empty()) << "every drive letter is in use";
    static const struct {
        LPCWSTR relative;   // NULL: the missing drive
        BOOL expected;
    } rows[] = {
        {L"a\\b\\c", TRUE},        // every parent missing
        {L"a\\b", TRUE},           // exists already
        {L"t\\u\\", TRUE},         // trailing backslash
        {L"file", FALSE},          // names a file
        {L"file\\sub", FALSE},     // a parent is a file
        {nullptr, FALSE},          // a drive that does not exist: must end
    };
    for (auto& r : rows) {
        std::wstring path = r.relative ? dir / r.relative : drive + L"\\qv\\a\\b";
        EXPECT_EQ(r.expected, CreateFolder(path.c_str())) << (LPCSTR)Narrow(path).c_str();
        EXPECT_EQ(r.expected, IsFolder(path)) << (LPCSTR)Narrow(path).c_str();
    }
    EXPECT_FALSE(CreateFolder(drive.c_str()));
    EXPECT_FALSE(CreateFolder((drive + L"\\").c_str()));
    EXPECT_FALSE(CreateFolder(std::wstring(MAX_PATH + 10, L'q').c_str()));
}

TEST(IsWritable, CreatesAndRemovesOneFile)
{
    ScratchFolder dir;
    EXPECT_TRUE(IsWritable(dir.path().c_str()));
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((dir / L"*.tmp").c_str(), &fd);
    EXPECT_EQ(INVALID_HANDLE_VALUE, h) << "left a temporary file behind";
    if (h != INVALID_HANDLE_VALUE)
        FindClose(h);
    EXPECT_FALSE(IsWritable((dir / L"missing").c_str()));
    MakeFile(dir / L"file", "x");
    EXPECT_FALSE(IsWritable((dir / L"file").c_str()));
}

TEST(UserProfile, EmptyPathReadsDefaultsAndWritesNothing)
{
    WCHAR saved[MAX_PATH];
    lstrcpynW(saved, g_szUserIni, MAX_PATH);
    g_szUserIni[0] = 0;
    ScratchFolder dir;
    SetCurrentDirectoryW(dir.path().c_str());
    EXPECT_EQ(1234, GetUserProfileInt(L"LogSize", 1234));
    WCHAR text[MAX_PATH];
    GetUserProfileString(L"C:\\default", text);
    EXPECT_STREQ(L"C:\\default", text);
    WriteUserProfileInt(L"LogSize", 5);
    WriteUserProfileString(L"C:\\x");
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((dir / L"*").c_str(), &fd);
    int entries = 0;
    if (h != INVALID_HANDLE_VALUE) {
        do
            entries++;
        while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    EXPECT_EQ(2, entries) << "something was written with no settings file";   // . and ..
    SetCurrentDirectoryW(L"C:\\");
    lstrcpynW(g_szUserIni, saved, MAX_PATH);
}

TEST(UserProfile, RoundTripInTheModulesOwnSection)
{
    ScratchFolder dir;
    std::wstring ini = dir / L"user.ini";
    lstrcpynW(g_szUserIni, ini.c_str(), MAX_PATH);
    g_szSection = L"Client";
    WriteUserProfileInt(L"LogRotate", -7);
    WriteUserProfileString(L"D:\\logs\\\x30ed\x30b0");
    EXPECT_EQ(-7, GetUserProfileInt(L"LogRotate", 5));
    WCHAR text[MAX_PATH];
    GetUserProfileString(L"def", text);
    EXPECT_STREQ(L"D:\\logs\\\x30ed\x30b0", text);

    g_szSection = L"Server";
    EXPECT_EQ(5, GetUserProfileInt(L"LogRotate", 5)) << "sections of the two modules mixed";
    GetUserProfileString(L"def", text);
    EXPECT_STREQ(L"def", text);
    g_szUserIni[0] = 0;
}

TEST(GetModuleFolder, FolderOfTheModuleWithBackslash)
{
    WCHAR exe[MAX_PATH], folder[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    HINSTANCE saved = g_hInst;
    g_hInst = GetModuleHandleW(nullptr);
    memset(folder, 0xbd, sizeof folder);
    DWORD n = GetModuleFolder(folder);
    g_hInst = saved;
    ASSERT_GT(n, 0u);
    EXPECT_EQ(n, wcslen(folder));
    EXPECT_EQ(L'\\', folder[n - 1]);
    EXPECT_EQ(0, _wcsnicmp(folder, exe, n));
    EXPECT_EQ(nullptr, wcschr(exe + n, L'\\')) << "not the folder of the module itself";
}
