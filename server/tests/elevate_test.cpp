// The server's elevated path end to end: request file, logon (double),
// the real administrator tool, its exit code.
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "module.h"
#include "cipher.h"
#include "elevate.h"
#include "logon_double.h"
#include "regops.h"
#include "regtree.h"
#include "settings.h"
#include "simprinters.h"

namespace {

// A redirected printer of this test process's session only, known to the
// tool's spooler double, and its key under the machine key that the tool is
// allowed to change; removed with its tree.
class PrinterKey {
public:
    PrinterKey() {
        WCHAR name[64];
        DWORD session = 0;
        ProcessIdToSessionId(GetCurrentProcessId(), &session);
        FormatStr(name, 64, L"QvTest %lu (redirected %lu)", GetCurrentProcessId(), session);
        sim_.Add(name);
        printer_ = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\" + std::wstring(name);
        path_ = printer_ + L"\\PrinterDriverData";
    }
    ~PrinterKey() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, printer_.c_str()); }
    LPCWSTR Path() const { return path_.c_str(); }
    std::wstring Backup() const { return path_ + L"_backup"; }
private:
    SimPrinters sim_;
    std::wstring printer_, path_;
};

// A private temporary folder with a space in its name, made the process's
// temporary folder, and a private common settings file inside it.
class Environment {
public:
    Environment() {
        WCHAR tmp[MAX_PATH], folder[MAX_PATH];
        GetTempPathW(MAX_PATH, tmp);
        FormatStr(folder, MAX_PATH, L"%sqv elevate %lu", tmp, GetCurrentProcessId());
        folder_ = folder;
        CreateDirectoryW(folder, nullptr);
        GetEnvironmentVariableW(L"TMP", oldTmp_, MAX_PATH);
        SetEnvironmentVariableW(L"TMP", folder);
        ini_ = folder_ + L"\\Quorvane.ini";
        lstrcpynW(g_szCommonIni, ini_.c_str(), MAX_PATH);
    }
    ~Environment() {
        DeleteFileW(ini_.c_str());
        RemoveDirectoryW(folder_.c_str());
        SetEnvironmentVariableW(L"TMP", oldTmp_);
        g_szCommonIni[0] = 0;
        SetLogonDoubleAccount(nullptr, nullptr);
    }
    void StoreAccount(LPCWSTR user, LPCWSTR secret) const {
        WCHAR stored[256];
        DWORD cch = 256;
        ASSERT_EQ(CRED_OK, EncryptCredential(secret, stored, &cch));
        WritePrivateProfileStringW(L"Server", L"AdminUser", user, ini_.c_str());
        WritePrivateProfileStringW(L"Server", L"AdminPassword", stored, ini_.c_str());
    }
    // Files left in the temporary folder besides the settings file.
    int Leftovers() const {
        WIN32_FIND_DATAW fd;
        HANDLE h = FindFirstFileW((folder_ + L"\\RDP*.tmp").c_str(), &fd);
        if (h == INVALID_HANDLE_VALUE)
            return 0;
        int n = 0;
        do n++; while (FindNextFileW(h, &fd));
        FindClose(h);
        return n;
    }
    const std::wstring& Folder() const { return folder_; }
private:
    std::wstring folder_, ini_;
    WCHAR oldTmp_[MAX_PATH] = L"";
};

TEST(RunElevatedRegOperation, ImportsRestoresAndCleansUpThroughTheTool)
{
    Environment env;
    env.StoreAccount(L"Administrator", L"Pa55 word");
    SetLogonDoubleAccount(L"Administrator", L"Pa55 word");
    PrinterKey key;
    SetValue(HKEY_LOCAL_MACHINE, key.Path(), L"Old", REG_DWORD, DwordData(1));
    std::wstring before = DumpTree(HKEY_LOCAL_MACHINE, key.Path());
    std::vector<BYTE> image = BuildImage({{L"", {{L"", REG_SZ, SzData(L"new")}}}, {L"Sub", {{L"B", REG_BINARY, {9}}}}});

    LONG calls = GetLogonDoubleTrace()->calls;
    EXPECT_EQ(0u, RunElevatedRegOperation(REG_OP_IMPORT, HKEY_LOCAL_MACHINE, key.Path(), image.data(), (DWORD)image.size()));
    EXPECT_EQ(calls + 1, GetLogonDoubleTrace()->calls);
    EXPECT_EQ(0x4000210u, GetLogonDoubleTrace()->creationFlags);
    // One leading space and the unquoted path in a folder whose name has a space.
    std::wstring line = GetLogonDoubleTrace()->commandLine;
    EXPECT_EQ(L" " + env.Folder() + L"\\RDP", line.substr(0, env.Folder().size() + 5));
    EXPECT_EQ(0, env.Leftovers());

    EXPECT_EQ(L"[]\n  \"\" type=1 size=8:6e00650077000000\n[Sub]\n  \"B\" type=3 size=1:09\n",
              DumpTree(HKEY_LOCAL_MACHINE, key.Path()));
    EXPECT_EQ(before, DumpTree(HKEY_LOCAL_MACHINE, key.Backup()));

    EXPECT_EQ(0u, RunElevatedRegOperation(REG_OP_RESTORE, HKEY_LOCAL_MACHINE, key.Path(), nullptr, 0));
    EXPECT_EQ(before, DumpTree(HKEY_LOCAL_MACHINE, key.Path()));
    EXPECT_EQ(0u, RunElevatedRegOperation(REG_OP_DELETE_BACKUP, HKEY_LOCAL_MACHINE, key.Path(), nullptr, 0));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, key.Backup()));
    // Restoring without a backup is the tool's ERROR_FILE_NOT_FOUND.
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, RunElevatedRegOperation(REG_OP_RESTORE, HKEY_LOCAL_MACHINE, key.Path(), nullptr, 0));
    EXPECT_EQ(before, DumpTree(HKEY_LOCAL_MACHINE, key.Path()));
    EXPECT_EQ(0, env.Leftovers());
}

TEST(RunElevatedRegOperation, RefusalsComeBackAsStatusAndChangeNothing)
{
    Environment env;
    SetLogonDoubleAccount(L"Administrator", L"right");
    PrinterKey key;
    SetValue(HKEY_LOCAL_MACHINE, key.Path(), L"Old", REG_DWORD, DwordData(1));
    std::wstring before = DumpTree(HKEY_LOCAL_MACHINE, key.Path());
    std::vector<BYTE> image = BuildImage({{L"", {}}});

    // A wrong stored secret: the logon fails and the tool never runs.
    env.StoreAccount(L"Administrator", L"wrong");
    EXPECT_EQ((DWORD)ERROR_LOGON_FAILURE,
              RunElevatedRegOperation(REG_OP_IMPORT, HKEY_LOCAL_MACHINE, key.Path(), image.data(), (DWORD)image.size()));
    EXPECT_EQ(before, DumpTree(HKEY_LOCAL_MACHINE, key.Path()));
    EXPECT_EQ(0, env.Leftovers());

    // No account stored at all.
    WritePrivateProfileStringW(L"Server", nullptr, nullptr, g_szCommonIni);
    EXPECT_EQ((DWORD)ERROR_LOGON_FAILURE,
              RunElevatedRegOperation(REG_OP_DELETE_BACKUP, HKEY_LOCAL_MACHINE, key.Path(), nullptr, 0));

    // The tool refuses anything but a printer's driver data, and malformed images.
    env.StoreAccount(L"Administrator", L"right");
    EXPECT_EQ((DWORD)REG_STATUS_BAD_ARGUMENT,
              RunElevatedRegOperation(REG_OP_IMPORT, HKEY_LOCAL_MACHINE, L"SOFTWARE\\QuorvaneTest", image.data(), (DWORD)image.size()));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QuorvaneTest"));
    std::vector<BYTE> bad = image;
    bad[0] = 25;
    EXPECT_EQ((DWORD)REG_STATUS_BAD_ARGUMENT,
              RunElevatedRegOperation(REG_OP_IMPORT, HKEY_LOCAL_MACHINE, key.Path(), bad.data(), (DWORD)bad.size()));
    EXPECT_EQ((DWORD)REG_STATUS_BAD_ARGUMENT,
              RunElevatedRegOperation(REG_OP_IMPORT, HKEY_LOCAL_MACHINE, key.Path(), nullptr, 0));
    EXPECT_EQ(before, DumpTree(HKEY_LOCAL_MACHINE, key.Path()));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, key.Backup()));
    EXPECT_EQ(0, env.Leftovers());
}

}  // namespace
