// The server module's side: the service when it runs, no request file and
// no account needed; the stored account through the administrator tool when
// it does not, each way with its log line.
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "cipher.h"
#include "elevate.h"
#include "regops.h"
#include "logon_double.h"
#include "module.h"
#include "printer_double.h"
#include "regtree.h"
#include "settings.h"
#include "svctest.h"

namespace {

int RequestFiles(const std::wstring& folder)
{
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((folder + L"\\" REG_REQUEST_PREFIX L"*.tmp").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    int n = 0;
    do n++; while (FindNextFileW(h, &fd));
    FindClose(h);
    return n;
}

TEST(ServiceFallback, TheServerUsesTheServiceWhileItRunsAndTheStoredAccountOtherwise)
{
    PrinterDouble::Reset();
    std::wstring printer = AddPrinter(L"fallback", OwnSession(), PRINTER_ATTRIBUTE_TS);
    std::wstring path = DriverDataPath(printer);
    ScratchFolder temp(L"qv svc ");
    WCHAR oldTmp[MAX_PATH] = L"";
    GetEnvironmentVariableW(L"TMP", oldTmp, MAX_PATH);
    SetEnvironmentVariableW(L"TMP", temp.path().c_str());
    std::wstring ini = temp / L"Quorvane.ini";
    lstrcpynW(g_szCommonIni, ini.c_str(), MAX_PATH);
    SetValue(HKEY_LOCAL_MACHINE, path, L"Old", REG_DWORD, DwordData(1));
    const std::wstring before = DumpTree(HKEY_LOCAL_MACHINE, path);
    std::vector<BYTE> image = BuildImage({{L"", {{L"New", REG_SZ, SzData(L"pc")}}}});
    LONG logons = GetLogonDoubleTrace()->calls;

    ServiceRun service;
    // No account is stored: only the service can do it.
    EXPECT_EQ(0u, RunElevatedRegOperation(REG_OP_IMPORT, HKEY_LOCAL_MACHINE, path.c_str(), image.data(),
                                          (DWORD)image.size()));
    EXPECT_EQ(L"[]\n  \"New\" type=1 size=6:700063000000\n", DumpTree(HKEY_LOCAL_MACHINE, path));
    EXPECT_EQ(0, RequestFiles(temp.path()));
    EXPECT_EQ(logons, GetLogonDoubleTrace()->calls);
    EXPECT_NE(std::string::npos, service.Log().find(",RunElevatedRegOperation,,service,status 0"));

    ASSERT_EQ(0u, service.Stop());
    WCHAR stored[256];
    DWORD cch = ARRAYSIZE(stored);
    ASSERT_EQ(CRED_OK, EncryptCredential(L"Pa55 word", stored, &cch));
    WritePrivateProfileStringW(L"Server", L"AdminUser", L"Administrator", ini.c_str());
    WritePrivateProfileStringW(L"Server", L"AdminPassword", stored, ini.c_str());
    SetLogonDoubleAccount(L"Administrator", L"Pa55 word");
    size_t mark = service.Log().size();
    EXPECT_EQ(0u, RunElevatedRegOperation(REG_OP_RESTORE, HKEY_LOCAL_MACHINE, path.c_str(), nullptr, 0));
    EXPECT_EQ(before, DumpTree(HKEY_LOCAL_MACHINE, path));
    EXPECT_EQ(logons + 1, GetLogonDoubleTrace()->calls);
    EXPECT_EQ(0, RequestFiles(temp.path()));
    std::string log = service.Log();
    EXPECT_NE(std::string::npos, log.find(",service not available,error ", mark));
    EXPECT_NE(std::string::npos, log.find(",admin tool,status 0", mark));

    SetLogonDoubleAccount(nullptr, nullptr);
    g_szCommonIni[0] = 0;
    SetEnvironmentVariableW(L"TMP", oldTmp);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(PRINTERS_KEY) + L"\\" + printer).c_str());
}

}  // namespace
