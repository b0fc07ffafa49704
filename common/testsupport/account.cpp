#include "account.h"
#include "cipher.h"
#include "logon_double.h"
#include "settings.h"

bool StoreAdminAccount(const std::wstring& ini, LPCWSTR user, LPCWSTR secret)
{
    lstrcpynW(g_szCommonIni, ini.c_str(), MAX_PATH);
    WCHAR stored[256] = L"";
    DWORD cch = ARRAYSIZE(stored);
    bool enciphered = EncryptCredential(secret, stored, &cch) == CRED_OK;
    WritePrivateProfileStringW(L"Server", L"AdminUser", user, ini.c_str());
    WritePrivateProfileStringW(L"Server", L"AdminPassword", stored, ini.c_str());
    // As SetLogonDoubleAccount does; not every program that stores an account links the double.
    SetEnvironmentVariableW(LOGON_DOUBLE_USER_VAR, user);
    SetEnvironmentVariableW(LOGON_DOUBLE_SECRET_VAR, secret);
    return enciphered;
}
