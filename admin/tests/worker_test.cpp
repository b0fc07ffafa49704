#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include <vector>
#include "module.h"
#include "admin.h"
#include "elevate.h"
#include "regops.h"
#include "regtree.h"
#include "scratch.h"
#include "settings.h"

namespace {

// A private folder whose name has blanks, as a user's temporary folder may.
class TempFolder : public ScratchFolder {
public:
    explicit TempFolder(LPCWSTR tag) : ScratchFolder((L"qv " + std::wstring(tag) + L" ").c_str()) {}
};

void WriteBytes(const std::wstring& file, const std::vector<BYTE>& bytes)
{
    HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    DWORD written;
    WriteFile(h, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
    CloseHandle(h);
}

std::vector<BYTE> Request(DWORD op, ULONGLONG root, DWORD cbPath, DWORD cbData, const std::wstring& path,
                          const std::vector<BYTE>& data)
{
    REGREQUESTHEADER h = {op, 0xdeadbeef, root, cbPath, cbData};
    size_t pathBytes = (path.size() + 1) * sizeof(WCHAR);
    std::vector<BYTE> bytes(sizeof h + pathBytes + data.size());
    memcpy(&bytes[0], &h, sizeof h);
    memcpy(&bytes[sizeof h], path.c_str(), pathBytes);
    if (!data.empty())
        memcpy(&bytes[sizeof h + pathBytes], data.data(), data.size());
    return bytes;
}

const wchar_t kPrinterPath[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\P 1\\PrinterDriverData";
const ULONGLONG kHklm = 0xFFFFFFFF80000002ull;

TEST(RegRequest, WhatTheServerWritesTheToolReadsForEveryOperation)
{
    TempFolder dir(L"request");
    std::vector<BYTE> image = BuildImage({{L"", {{L"A", REG_DWORD, DwordData(1)}}}, {L"S", {}}});
    const struct { DWORD op; const BYTE* image; DWORD size; } rows[] = {
        {REG_OP_IMPORT, image.data(), (DWORD)image.size()},
        {REG_OP_DELETE_BACKUP, nullptr, 0},
        {REG_OP_RESTORE, nullptr, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.op);
        std::wstring file = dir.File(L"req.tmp");
        HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        EXPECT_EQ(0u, WriteRegRequest(h, r.op, HKEY_LOCAL_MACHINE, kPrinterPath, r.image, r.size));
        LARGE_INTEGER size;
        GetFileSizeEx(h, &size);
        CloseHandle(h);
        // Header, path with its NUL, and the image for an import only.
        EXPECT_EQ(24 + (wcslen(kPrinterPath) + 1) * 2 + r.size, (size_t)size.QuadPart);

        RegRequest req;
        ASSERT_EQ(0u, ReadRegRequest(file.c_str(), &req));
        EXPECT_EQ(r.op, req.op);
        EXPECT_EQ(HKEY_LOCAL_MACHINE, req.root);
        EXPECT_STREQ(kPrinterPath, req.path);
        EXPECT_EQ(r.size, req.imageSize);
        if (r.image) {
            EXPECT_EQ(0, memcmp(r.image, req.image, r.size));
        }
    }
}

TEST(RegRequest, MalformedFilesAreRefusedWithoutTouchingTheRegistry)
{
    TempFolder dir(L"malformed");
    std::wstring p = kPrinterPath;
    DWORD cb = (DWORD)(p.size() + 1) * 2;
    std::vector<BYTE> image = BuildImage({{L"", {}}});
    std::vector<BYTE> full = Request(REG_OP_IMPORT, kHklm, cb, (DWORD)image.size(), p, image);
    std::vector<BYTE> noNul = Request(REG_OP_RESTORE, kHklm, 4, 0, L"AB", {});

    const struct { const char* name; std::vector<BYTE> bytes; DWORD expected; } rows[] = {
        {"23 bytes", std::vector<BYTE>(full.begin(), full.begin() + 23), REG_STATUS_BAD_ARGUMENT},
        {"empty file", {}, REG_STATUS_BAD_ARGUMENT},
        {"path size 0", Request(REG_OP_RESTORE, kHklm, 0, 0, p, {}), REG_STATUS_BAD_ARGUMENT},
        {"import with data size 0", Request(REG_OP_IMPORT, kHklm, cb, 0, p, {}), REG_STATUS_BAD_ARGUMENT},
        {"unknown operation", Request(3, kHklm, cb, 0, p, {}), REG_STATUS_BAD_ARGUMENT},
        {"odd path size", Request(REG_OP_RESTORE, kHklm, cb - 1, 0, p, {}), REG_STATUS_BAD_ARGUMENT},
        {"path without NUL", noNul, REG_STATUS_BAD_ARGUMENT},
        {"path size beyond any key path", Request(REG_OP_RESTORE, kHklm, 0x7FFFFFFE, 0, p, {}), REG_STATUS_BAD_ARGUMENT},
        {"path cut short", std::vector<BYTE>(full.begin(), full.begin() + 30), REG_STATUS_BAD_ARGUMENT},
        {"image cut short", std::vector<BYTE>(full.begin(), full.end() - 1), REG_STATUS_BAD_ARGUMENT},
        {"image size of 4 GB", Request(REG_OP_IMPORT, kHklm, cb, 0xFFFFFFF0, p, image), REG_STATUS_BAD_ARGUMENT},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        std::wstring file = dir.File(L"bad.tmp");
        WriteBytes(file, r.bytes);
        EXPECT_EQ(r.expected, ExecuteRequestFile(file.c_str()));
    }
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, ExecuteRequestFile(dir.File(L"missing.tmp").c_str()));
    // The keyword in lower case is a file name like any other.
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, ExecuteRequestFile(L"checkadmin"));
}

TEST(RegRequest, OnlyAPrintersDriverDataUnderTheMachineKeyIsTouched)
{
    static const wchar_t* const refused[] = {
        L"SOFTWARE\\Classes",
        L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\PrinterDriverData",
        L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\A\\B\\PrinterDriverData",
        L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\P\\PrinterDriverData_backup",
        L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\P\\PrinterDriverData\\Sub",
        L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\P\\PrinterDriverData\\",
        L"XSYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\P\\PrinterDriverData",
        L"",
    };
    for (const wchar_t* path : refused) {
        SCOPED_TRACE(testing::Message() << wcslen(path));
        EXPECT_FALSE(IsPrinterDriverDataPath(path));
        RegRequest req;
        req.op = REG_OP_DELETE_BACKUP;
        req.root = HKEY_LOCAL_MACHINE;
        wcscpy(req.path, path);
        EXPECT_EQ(REG_STATUS_BAD_ARGUMENT, PerformRegRequest(req));
    }
    EXPECT_TRUE(IsPrinterDriverDataPath(kPrinterPath));
    EXPECT_TRUE(IsPrinterDriverDataPath(L"system\\currentcontrolset\\control\\print\\printers\\p\\printerdriverdata"));

    // The right path under another root is refused before anything changes.
    ScratchKey s(L"worker-root");
    std::wstring key = s.Sub(kPrinterPath);
    SetValue(HKEY_CURRENT_USER, key, L"Keep", REG_DWORD, DwordData(1));
    std::wstring before = DumpTree(HKEY_CURRENT_USER, s.Path());
    RegRequest req;
    req.op = REG_OP_RESTORE;
    req.root = HKEY_CURRENT_USER;
    wcscpy(req.path, kPrinterPath);
    EXPECT_EQ(REG_STATUS_BAD_ARGUMENT, PerformRegRequest(req));
    req.op = 7;
    req.root = HKEY_LOCAL_MACHINE;
    EXPECT_EQ(REG_STATUS_BAD_ARGUMENT, PerformRegRequest(req));
    EXPECT_EQ(before, DumpTree(HKEY_CURRENT_USER, s.Path()));
}

TEST(AdminSettingsFile, OlderFileIsTakenOverOnceAndNeverOverwritesTheNewOne)
{
    TempFolder data(L"programdata");
    std::wstring olderFolder = data.Path() + OLD_COMPANY_FOLDER;
    ASSERT_TRUE(CreateFolder(olderFolder.c_str()));
    std::wstring older = olderFolder + COMMON_INI_NAME;
    WritePrivateProfileStringW(L"Server", L"AdminUser", L"older", older.c_str());

    PrepareSettingsFile(data.Path().c_str());
    EXPECT_EQ(data.Path() + COMPANY_FOLDER + COMMON_INI_NAME, std::wstring(g_szCommonIni));
    ReadAdminSettings();
    EXPECT_STREQ(L"older", g_szAdminUser);
    EXPECT_EQ(30u, g_dwInterval);
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(older.c_str())) << "the older file must stay";

    WritePrivateProfileStringW(L"Server", L"AdminUser", L"changed", older.c_str());
    PrepareSettingsFile(data.Path().c_str());
    ReadAdminSettings();
    EXPECT_STREQ(L"older", g_szAdminUser);
    g_szCommonIni[0] = 0;
}

}  // namespace
