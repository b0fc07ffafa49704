// The worker killed between its registry writes (a test build that ends
// itself after N value writes, or right after copying the backup), then
// started again: the last good state of the key survives as its backup and
// comes back with a restore.
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "crash_double.h"
#include "module.h"
#include "regops.h"
#include "regtree.h"
#include "simprinters.h"
#include "tool_runner.h"

namespace {

const ULONGLONG kHklm = 0xFFFFFFFF80000002ull;

class CrashFixture {
public:
    CrashFixture()
    {
        WCHAR name[64], tmp[MAX_PATH];
        DWORD session = 0;
        ProcessIdToSessionId(GetCurrentProcessId(), &session);
        FormatStr(name, ARRAYSIZE(name), L"QvCrash %lu (redirected %lu)", GetCurrentProcessId(), session);
        sim_.Add(name);
        printer_ = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\" + std::wstring(name);
        path_ = printer_ + L"\\PrinterDriverData";
        GetTempPathW(MAX_PATH, tmp);
        file_ = std::wstring(tmp) + name + L".tmp";
    }
    ~CrashFixture()
    {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, printer_.c_str());
        DeleteFileW(file_.c_str());
        SetEnvironmentVariableW(L"QV_CRASH_AFTER_WRITES", nullptr);
        SetEnvironmentVariableW(L"QV_CRASH_IN_COPY", nullptr);
    }
    // The good state: the tree before any import.
    void Reset() const
    {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, printer_.c_str());
        SetValue(HKEY_LOCAL_MACHINE, path_, L"Good", REG_DWORD, DwordData(1));
        SetValue(HKEY_LOCAL_MACHINE, path_ + L"\\Sub", L"Deep", REG_SZ, SzData(L"good"));
    }
    // Runs one request through the tool; exe is the real tool or the one
    // that dies.
    DWORD Run(LPCWSTR exe, DWORD op, const std::vector<BYTE>& image = {}) const
    {
        REGREQUESTHEADER h = {op, 0, kHklm, (DWORD)(path_.size() + 1) * 2, (DWORD)image.size()};
        HANDLE f = CreateFileW(file_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD n;
        WriteFile(f, &h, sizeof h, &n, nullptr);
        WriteFile(f, path_.c_str(), h.cbPath, &n, nullptr);
        if (!image.empty())
            WriteFile(f, image.data(), (DWORD)image.size(), &n, nullptr);
        CloseHandle(f);
        return RunTool(exe, (L" " + file_).c_str());
    }
    std::wstring Key() const { return DumpTree(HKEY_LOCAL_MACHINE, path_); }
    std::wstring Backup() const { return DumpTree(HKEY_LOCAL_MACHINE, path_ + L"_backup"); }
    bool Staging() const { return KeyExists(HKEY_LOCAL_MACHINE, printer_ + L"\\_backup~"); }
private:
    SimPrinters sim_;   // the tools' spooler double knows the printer
    std::wstring printer_, path_, file_;
};

// Six value writes over three keys.
std::vector<BYTE> NewImage(DWORD tag)
{
    return BuildImage({
        {L"", {{L"A", REG_DWORD, DwordData(tag)}, {L"B", REG_SZ, SzData(L"new")}}},
        {L"X", {{L"C", REG_DWORD, DwordData(tag + 1)}, {L"D", REG_BINARY, {1, 2}}}},
        {L"X\\Y", {{L"E", REG_DWORD, DwordData(tag + 2)}, {L"", REG_SZ, SzData(L"e")}}},
    });
}

}  // namespace

TEST(WorkerKilled, BetweenValueWritesTheLastGoodStateStaysTheBackup)
{
    CrashFixture fx;
    fx.Reset();
    const std::wstring good = fx.Key();
    const std::vector<BYTE> first = NewImage(10), second = NewImage(20);
    for (int killAt : {0, 1, 3, 5}) {
        SCOPED_TRACE(killAt);
        fx.Reset();
        SetEnvironmentVariableW(L"QV_CRASH_AFTER_WRITES", std::to_wstring(killAt).c_str());
        ASSERT_EQ((DWORD)QV_CRASH_EXIT_CODE, fx.Run(L"Quorvane_Admin_crash.exe", REG_OP_IMPORT, first));
        const std::wstring half = fx.Key();
        EXPECT_NE(good, half);
        EXPECT_EQ(good, fx.Backup());

        // Killed again, at another write: the half-written key never becomes the backup.
        SetEnvironmentVariableW(L"QV_CRASH_AFTER_WRITES", std::to_wstring((killAt + 2) % 6).c_str());
        ASSERT_EQ((DWORD)QV_CRASH_EXIT_CODE, fx.Run(L"Quorvane_Admin_crash.exe", REG_OP_IMPORT, second));
        EXPECT_EQ(good, fx.Backup());
        SetEnvironmentVariableW(L"QV_CRASH_AFTER_WRITES", nullptr);

        // The restore that follows a failed application brings the good state back.
        ASSERT_EQ(0u, fx.Run(L"Quorvane_Admin_sim.exe", REG_OP_RESTORE));
        EXPECT_EQ(good, fx.Key());

        // A complete import over a half-written key, then the backup goes as before.
        SetEnvironmentVariableW(L"QV_CRASH_AFTER_WRITES", L"2");
        ASSERT_EQ((DWORD)QV_CRASH_EXIT_CODE, fx.Run(L"Quorvane_Admin_crash.exe", REG_OP_IMPORT, first));
        SetEnvironmentVariableW(L"QV_CRASH_AFTER_WRITES", nullptr);
        ASSERT_EQ(0u, fx.Run(L"Quorvane_Admin_sim.exe", REG_OP_IMPORT, second));
        EXPECT_EQ(good, fx.Backup());
        ASSERT_EQ(0u, fx.Run(L"Quorvane_Admin_sim.exe", REG_OP_DELETE_BACKUP));
        EXPECT_EQ(L"<missing>", fx.Backup());
        EXPECT_FALSE(fx.Staging());
        EXPECT_NE(good, fx.Key());
    }
}

TEST(WorkerKilled, WhileCopyingTheBackupTheKeyIsUntouchedAndNoBackupIsTaken)
{
    CrashFixture fx;
    fx.Reset();
    const std::wstring good = fx.Key();
    SetEnvironmentVariableW(L"QV_CRASH_IN_COPY", L"1");
    ASSERT_EQ((DWORD)QV_CRASH_EXIT_CODE, fx.Run(L"Quorvane_Admin_crash.exe", REG_OP_IMPORT, NewImage(10)));
    SetEnvironmentVariableW(L"QV_CRASH_IN_COPY", nullptr);
    EXPECT_EQ(good, fx.Key());
    EXPECT_EQ(L"<missing>", fx.Backup());
    EXPECT_TRUE(fx.Staging());

    // The next import backs the intact key up afresh and clears the copy away.
    ASSERT_EQ(0u, fx.Run(L"Quorvane_Admin_sim.exe", REG_OP_IMPORT, NewImage(20)));
    EXPECT_EQ(good, fx.Backup());
    EXPECT_FALSE(fx.Staging());
    ASSERT_EQ(0u, fx.Run(L"Quorvane_Admin_sim.exe", REG_OP_RESTORE));
    EXPECT_EQ(good, fx.Key());
}
