// The service's serving loop in this process against the spooler double:
// what it carries out, what it refuses, and that a stuck client or a stop
// holds nothing.
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "printer_double.h"
#include "regtree.h"
#include "service.h"
#include "svctest.h"

namespace {

const DWORD TS = PRINTER_ATTRIBUTE_TS;

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        PrinterDouble::Reset();
        own_ = AddPrinter(L"own", OwnSession(), TS);
        image_ = BuildImage({{L"", {{L"A", REG_DWORD, DwordData(7)}}}, {L"Sub", {{L"", REG_SZ, SzData(L"x")}}}});
    }
    void TearDown() override
    {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(PRINTERS_KEY) + L"\\" + own_).c_str());
    }
    std::wstring own_;
    std::vector<BYTE> image_;
};

TEST_F(ServiceTest, CarriesOutEveryOperationForThePrinterOfTheCallersSession)
{
    ServiceRun service;
    std::wstring path = DriverDataPath(own_);
    SetValue(HKEY_LOCAL_MACHINE, path, L"Old", REG_DWORD, DwordData(1));
    std::wstring before = DumpTree(HKEY_LOCAL_MACHINE, path);

    EXPECT_EQ(0u, Exchange(RequestBytes(REG_OP_IMPORT, HKEY_LOCAL_MACHINE, path, image_)));
    EXPECT_EQ(L"[]\n  \"A\" type=4 size=4:07000000\n[Sub]\n  \"\" type=1 size=4:78000000\n",
              DumpTree(HKEY_LOCAL_MACHINE, path));
    EXPECT_EQ(before, DumpTree(HKEY_LOCAL_MACHINE, path + L"_backup"));
    EXPECT_EQ(0u, Exchange(RequestBytes(REG_OP_RESTORE, HKEY_LOCAL_MACHINE, path, {})));
    EXPECT_EQ(before, DumpTree(HKEY_LOCAL_MACHINE, path));
    EXPECT_EQ(0u, Exchange(RequestBytes(REG_OP_DELETE_BACKUP, HKEY_LOCAL_MACHINE, path, {})));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, path + L"_backup"));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, Exchange(RequestBytes(REG_OP_RESTORE, HKEY_LOCAL_MACHINE, path, {})));
    EXPECT_NE(std::string::npos, service.Log().find(",status 0"));
    EXPECT_EQ(0, PrinterDouble::OpenHandles());
}

TEST_F(ServiceTest, RefusesWhatIsNotTheCallersOwnPrinterDataAndChangesNothing)
{
    const DWORD session = OwnSession();
    std::wstring other = AddPrinter(L"other", session + 1, TS);
    std::wstring local = AddPrinter(L"local", session, 0);
    std::wstring locked = AddPrinter(L"locked", session, TS);
    PrinterDouble::FailOpen(locked.c_str(), ERROR_ACCESS_DENIED);
    std::wstring gone = AddPrinter(L"gone", session, MAXDWORD);
    std::wstring ownPath = DriverDataPath(own_);
    std::vector<BYTE> badImage = image_;
    badImage[0] ^= 0x40;   // total size off

    std::vector<BYTE> oversized = RequestBytes(REG_OP_IMPORT, HKEY_LOCAL_MACHINE, ownPath, image_);
    std::vector<BYTE> shortened(oversized.begin(), oversized.end() - 1);
    oversized.resize(oversized.size() - image_.size());
    DWORD huge = REG_REQUEST_IMAGE_MAX + 1;
    memcpy(&oversized[20], &huge, 4);

    static const WCHAR printers[] = PRINTERS_KEY L"\\";
    const struct {
        const char* what;
        std::vector<BYTE> bytes;
        const char* logged;
    } rows[] = {
        {"a printer of another session",
         RequestBytes(REG_OP_IMPORT, HKEY_LOCAL_MACHINE, DriverDataPath(other), image_), ",refused,session,"},
        {"a printer without the redirected attribute",
         RequestBytes(REG_OP_IMPORT, HKEY_LOCAL_MACHINE, DriverDataPath(local), image_), ",refused,printer,"},
        {"a printer the spooler does not know",
         RequestBytes(REG_OP_IMPORT, HKEY_LOCAL_MACHINE, DriverDataPath(gone), image_), ",refused,printer,"},
        {"a printer that cannot be opened",
         RequestBytes(REG_OP_IMPORT, HKEY_LOCAL_MACHINE, DriverDataPath(locked), image_), ",refused,printer,"},
        {"a key outside the driver data",
         RequestBytes(REG_OP_IMPORT, HKEY_LOCAL_MACHINE, printers + own_ + L"\\Other", image_), ",refused,key,"},
        {"a key below the driver data",
         RequestBytes(REG_OP_RESTORE, HKEY_LOCAL_MACHINE, ownPath + L"\\Sub", {}), ",refused,key,"},
        {"a second backslash in the printer's name",
         RequestBytes(REG_OP_IMPORT, HKEY_LOCAL_MACHINE, printers + std::wstring(L"x\\") + own_ + L"\\PrinterDriverData", image_),
         ",refused,key,"},
        {"HKEY_CURRENT_USER as root",
         RequestBytes(REG_OP_IMPORT, HKEY_CURRENT_USER, ownPath, image_), ",refused,root,"},
        {"a malformed image", RequestBytes(REG_OP_IMPORT, HKEY_LOCAL_MACHINE, ownPath, badImage), ",refused,image,"},
        {"an oversized image", oversized, ",request,error 269484032"},
        {"a short request (the service waits, then answers)",
         shortened, ",request,error 269484032"},
    };

    ServiceRun service;
    SetValue(HKEY_LOCAL_MACHINE, ownPath, L"Old", REG_DWORD, DwordData(1));
    const std::wstring before = DumpTree(HKEY_LOCAL_MACHINE, PRINTERS_KEY);
    for (const auto& row : rows) {
        size_t lines = service.Log().size();
        EXPECT_EQ((DWORD)REG_STATUS_BAD_ARGUMENT, Exchange(row.bytes)) << row.what;
        EXPECT_EQ(before, DumpTree(HKEY_LOCAL_MACHINE, PRINTERS_KEY)) << row.what;
        EXPECT_NE(std::string::npos, service.Log().find(row.logged, lines)) << row.what;
    }
    EXPECT_EQ(0, PrinterDouble::OpenHandles());
}

TEST_F(ServiceTest, AClientThatSendsNothingHoldsNoOneUpAndStopEndsEverything)
{
    ServiceRun service;
    HANDLE idle = ConnectPipe();
    ASSERT_NE(INVALID_HANDLE_VALUE, idle);
    DWORD start = GetTickCount();
    EXPECT_EQ(0u, Exchange(RequestBytes(REG_OP_IMPORT, HKEY_LOCAL_MACHINE, DriverDataPath(own_), image_)));
    EXPECT_LT(GetTickCount() - start, (DWORD)SVC_READ_TIMEOUT_MS / 2);
    // The idle client is let go with the malformed status once its time is up.
    EXPECT_EQ((DWORD)REG_STATUS_BAD_ARGUMENT, ReadAnswer(idle));
    CloseHandle(idle);

    // A stop with clients connected (all slots taken) ends at once.
    HANDLE clients[SVC_MAX_CLIENTS];
    for (HANDLE& c : clients)
        c = ConnectPipe();
    start = GetTickCount();
    EXPECT_EQ(0u, service.Stop());
    EXPECT_LT(GetTickCount() - start, 2000u);
    for (HANDLE c : clients) {
        EXPECT_NE(INVALID_HANDLE_VALUE, c);
        EXPECT_EQ(0xDEADu, ReadAnswer(c));
        CloseHandle(c);
    }
    EXPECT_FALSE(WaitNamedPipeW(REG_SERVICE_PIPE, 100));
}

}  // namespace
