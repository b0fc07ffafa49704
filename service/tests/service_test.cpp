// The service's serving loop in this process against the spooler double:
// what it carries out, what it refuses, that a stuck client or a stop holds
// nothing, and the server module's way to it and around it.
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "account.h"
#include "cipher.h"
#include "elevate.h"
#include "logon_double.h"
#include "module.h"
#include "printer_double.h"
#include "regops.h"
#include "regtree.h"
#include "service.h"
#include "settings.h"
#include "simprinters.h"
#include "svctest.h"

namespace {

const DWORD TS = PRINTER_ATTRIBUTE_TS;

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        PrinterDouble::Reset();
        own_ = AddPrinter(L"own", OwnSession(), TS);
        path_ = DriverDataPath(own_);
        image_ = BuildImage({{L"", {{L"A", REG_DWORD, DwordData(7)}}}, {L"Sub", {{L"", REG_SZ, SzData(L"x")}}}});
        SetValue(HKEY_LOCAL_MACHINE, path_, L"Old", REG_DWORD, DwordData(1));
    }
    void TearDown() override
    {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(PRINTERS_KEY) + L"\\" + own_).c_str());
        EXPECT_EQ(0, PrinterDouble::OpenHandles());
    }
    std::wstring own_, path_;
    std::vector<BYTE> image_;
};

TEST_F(ServiceTest, TheServerUsesTheServiceWhileItRunsAndTheStoredAccountOtherwise)
{
    ServiceRun service;   // and no account stored
    // No temporary folder at first: a request file could not even be made.
    ScratchFolder temp(L"qv svc ");
    WCHAR oldTmp[MAX_PATH] = L"";
    GetEnvironmentVariableW(L"TMP", oldTmp, MAX_PATH);
    SetEnvironmentVariableW(L"TMP", (temp / L"missing").c_str());
    std::wstring ini = temp / L"Quorvane.ini";
    lstrcpynW(g_szCommonIni, ini.c_str(), MAX_PATH);
    const std::wstring before = DumpTree(HKEY_LOCAL_MACHINE, path_);
    LONG logons = GetLogonDoubleTrace()->calls;
    auto run = [&](DWORD op, const std::vector<BYTE>& image) {
        return RunElevatedRegOperation(op, HKEY_LOCAL_MACHINE, path_.c_str(), image.data(), (DWORD)image.size());
    };

    EXPECT_EQ(0u, run(REG_OP_IMPORT, image_));
    EXPECT_EQ(L"[]\n  \"A\" type=4 size=4:07000000\n[Sub]\n  \"\" type=1 size=4:78000000\n",
              DumpTree(HKEY_LOCAL_MACHINE, path_));
    EXPECT_EQ(before, DumpTree(HKEY_LOCAL_MACHINE, path_ + L"_backup"));
    EXPECT_EQ(0u, run(REG_OP_RESTORE, {}));
    EXPECT_EQ(before, DumpTree(HKEY_LOCAL_MACHINE, path_));
    EXPECT_EQ(0u, run(REG_OP_DELETE_BACKUP, {}));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, run(REG_OP_RESTORE, {}));
    EXPECT_EQ(logons, GetLogonDoubleTrace()->calls);
    EXPECT_NE(std::string::npos, service.Log().find(",RunElevatedRegOperation,,service,status 0"));

    // Stopped: the stored account through the administrator tool, whose
    // spooler double knows the printer too.
    ASSERT_EQ(0u, service.Stop());
    ASSERT_TRUE(StoreAdminAccount(ini, L"Administrator", L"Pa55 word"));
    SetEnvironmentVariableW(L"TMP", temp.path().c_str());
    SimPrinters sim;
    sim.Add(own_);
    size_t mark = service.Log().size();
    EXPECT_EQ(0u, run(REG_OP_IMPORT, image_));
    EXPECT_EQ(logons + 1, GetLogonDoubleTrace()->calls);
    std::string log = service.Log();
    EXPECT_NE(std::string::npos, log.find(",service not available,error ", mark));
    EXPECT_NE(std::string::npos, log.find(",admin tool,status 0", mark));

    SetLogonDoubleAccount(nullptr, nullptr);
    g_szCommonIni[0] = 0;
    SetEnvironmentVariableW(L"TMP", oldTmp);
}

TEST_F(ServiceTest, RefusesWhatIsNotTheCallersOwnPrinterDataAndChangesNothing)
{
    const DWORD session = OwnSession();
    std::wstring other = AddPrinter(L"other", session + 1, TS);
    std::wstring local = AddPrinter(L"local", session, 0);
    std::wstring locked = AddPrinter(L"locked", session, TS);
    PrinterDouble::FailOpen(locked.c_str(), ERROR_ACCESS_DENIED);
    std::wstring gone = AddPrinter(L"gone", session, MAXDWORD);
    std::vector<BYTE> badImage = image_;
    badImage[0] ^= 0x40;   // total size off
    std::vector<BYTE> good = RequestBytes(REG_OP_IMPORT, HKEY_LOCAL_MACHINE, path_, image_);
    std::vector<BYTE> oversized(good.begin(), good.end() - image_.size());
    DWORD huge = REG_REQUEST_IMAGE_MAX + 1;
    memcpy(&oversized[20], &huge, 4);
    const std::wstring printers = PRINTERS_KEY L"\\";
    auto import = [&](HKEY root, const std::wstring& path, const std::vector<BYTE>& image) {
        return RequestBytes(REG_OP_IMPORT, root, path, image);
    };
    const struct {
        const char* what;
        std::vector<BYTE> bytes;
        const char* logged;
    } rows[] = {
        {"another session's printer", import(HKEY_LOCAL_MACHINE, DriverDataPath(other), image_), ",refused,session,"},
        {"a printer not redirected", import(HKEY_LOCAL_MACHINE, DriverDataPath(local), image_), ",refused,printer,"},
        {"an unknown printer", import(HKEY_LOCAL_MACHINE, DriverDataPath(gone), image_), ",refused,printer,"},
        {"a printer that cannot be opened", import(HKEY_LOCAL_MACHINE, DriverDataPath(locked), image_), ",refused,printer,"},
        {"a key outside the driver data", import(HKEY_LOCAL_MACHINE, printers + own_ + L"\\Other", image_), ",refused,key,"},
        {"a key below it", RequestBytes(REG_OP_RESTORE, HKEY_LOCAL_MACHINE, path_ + L"\\Sub", {}), ",refused,key,"},
        {"a second backslash in the name",
         import(HKEY_LOCAL_MACHINE, printers + L"x\\" + own_ + L"\\PrinterDriverData", image_), ",refused,key,"},
        {"HKEY_CURRENT_USER", import(HKEY_CURRENT_USER, path_, image_), ",refused,root,"},
        {"a malformed image", import(HKEY_LOCAL_MACHINE, path_, badImage), ",refused,image,"},
        {"an oversized image", oversized, ",request,error 269484032"},
        {"a short request (answered at the time-out)", std::vector<BYTE>(good.begin(), good.end() - 1),
         ",request,error 269484032"},
    };

    // Every key a row names, and no other test's.
    auto keys = [&] {
        std::wstring all = DumpTree(HKEY_CURRENT_USER, path_);
        for (const std::wstring& name : {own_, other, local, locked, gone, std::wstring(L"x")})
            all += DumpTree(HKEY_LOCAL_MACHINE, printers + name);
        return all;
    };
    ServiceRun service;
    const std::wstring before = keys();
    for (const auto& row : rows) {
        size_t mark = service.Log().size();
        EXPECT_EQ((DWORD)REG_STATUS_BAD_ARGUMENT, Exchange(row.bytes)) << row.what;
        EXPECT_EQ(before, keys()) << row.what;
        EXPECT_NE(std::string::npos, service.Log().find(row.logged, mark)) << row.what;
    }
}

TEST_F(ServiceTest, AClientThatSendsNothingHoldsNoOneUpAndStopEndsEverything)
{
    ServiceRun service;
    HANDLE idle = ConnectPipe();
    ASSERT_NE(INVALID_HANDLE_VALUE, idle);
    DWORD start = GetTickCount();
    EXPECT_EQ(0u, Exchange(RequestBytes(REG_OP_IMPORT, HKEY_LOCAL_MACHINE, path_, image_)));
    EXPECT_LT(GetTickCount() - start, (DWORD)SVC_READ_TIMEOUT_MS / 2);
    EXPECT_EQ((DWORD)REG_STATUS_BAD_ARGUMENT, ReadAnswer(idle));   // once its time is up
    CloseHandle(idle);

    // A stop with every slot taken ends at once.
    HANDLE clients[SVC_MAX_CLIENTS];
    for (HANDLE& c : clients)
        c = ConnectPipe();
    start = GetTickCount();
    EXPECT_EQ(0u, service.Stop());
    EXPECT_LT(GetTickCount() - start, 2000u);
    for (HANDLE c : clients) {
        EXPECT_EQ(0xDEADu, ReadAnswer(c));
        CloseHandle(c);
    }
    EXPECT_FALSE(WaitNamedPipeW(RegServicePipeName(), 100));
}

}  // namespace
