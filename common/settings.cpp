// The two INI files and the small file-system operations that belong to them.
#include "settings.h"
#include "log.h"
#include "module.h"
#include <shlobj.h>
#include <shlwapi.h>
#include <strsafe.h>

WCHAR g_szUserIni[MAX_PATH] = L"";
LPCWSTR g_szSection = L"Server";
WCHAR g_szCommonIni[MAX_PATH] = L"";

int GetUserProfileInt(LPCWSTR key, int def)
{
    LogScope scope(L"GetUserProfileInt");
    LogPrintf(32, L"GetUserProfileInt", L",%s,%s,%d", g_szSection, key, def);
    int result = g_szUserIni[0] ? (int)GetPrivateProfileIntW(g_szSection, key, def, g_szUserIni) : def;
    LogPrintf(32, L"GetUserProfileInt", L",%d", result);
    return result;
}

void GetUserProfileString(LPCWSTR def, LPWSTR result)
{
    LogScope scope(L"GetUserProfileString");
    LogPrintf(32, L"GetUserProfileString", L",%s,%s,%s,%d", g_szSection, L"LogFolder", def, MAX_PATH);
    if (g_szUserIni[0])
        GetPrivateProfileStringW(g_szSection, L"LogFolder", def, result, MAX_PATH, g_szUserIni);
    else
        lstrcpynW(result, def, MAX_PATH);
    LogPrintf(32, L"GetUserProfileString", L",%s", result);
}

void WriteUserProfileInt(LPCWSTR key, int value)
{
    LogScope scope(L"WriteUserProfileInt");
    LogPrintf(32, L"WriteUserProfileInt", L",%s,%s,%d", g_szSection, key, value);
    if (!g_szUserIni[0])
        return;
    WCHAR text[128];
    FormatStr(text, ARRAYSIZE(text), L"%d", value);
    WritePrivateProfileStringW(g_szSection, key, text, g_szUserIni);
}

void WriteUserProfileString(LPCWSTR value)
{
    LogScope scope(L"WriteUserProfileString");
    LogPrintf(32, L"WriteUserProfileString", L",%s,%s,%s", g_szSection, L"LogFolder", value);
    if (g_szUserIni[0])
        WritePrivateProfileStringW(g_szSection, L"LogFolder", value, g_szUserIni);
}

DWORD GetModuleFolder(LPWSTR buf)
{
    LogScope scope(L"GetModuleFolder");
    // The buffer is logged before it is filled: terminate it first so that
    // the line never reads whatever the caller left in it.
    buf[0] = 0;
    LogPrintf(32, L"GetModuleFolder", L",%s,%d", buf, MAX_PATH);
    DWORD result = 0;
    DWORD n = GetModuleFileNameW(g_hInst, buf, MAX_PATH);
    // A full buffer means the path was cut: a cut path names another folder.
    if (n > 0 && n < MAX_PATH && PathRemoveFileSpecW(buf) && PathAddBackslashW(buf))
        result = (DWORD)lstrlenW(buf);
    else
        buf[0] = 0;
    LogPrintf(32, L"GetModuleFolder", L",%d", (int)result);
    return result;
}

BOOL CreateFolder(LPCWSTR path)
{
    LogPrintf(LOG_IN, L"CreateFolder", L"");
    LogPrintf(32, L"CreateFolder", L",%s", path);
    DWORD attr = GetFileAttributesW(path);
    if (attr != INVALID_FILE_ATTRIBUTES)
        return (attr & FILE_ATTRIBUTE_DIRECTORY) != 0;
    DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
        return FALSE;

    WCHAR parent[MAX_PATH];
    if (lstrlenW(path) >= MAX_PATH)
        return FALSE;
    lstrcpynW(parent, path, MAX_PATH);
    // A missing drive or share cannot be shortened any further: stop there.
    size_t before = wcslen(parent);
    PathRemoveFileSpecW(parent);
    if (!parent[0] || wcslen(parent) >= before || !CreateFolder(parent))
        return FALSE;

    LogPrintf(LOG_OUT, L"CreateFolder", L"");
    if (CreateDirectoryW(path, nullptr))
        return TRUE;
    // Another process of the same user may have created it in the meantime.
    attr = GetFileAttributesW(path);
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
}

BOOL IsWritable(LPCWSTR folder)
{
    LogScope scope(L"IsWritable");
    LogPrintf(32, L"IsWritable", L",%s,%d", folder, 1);
    WCHAR temp[MAX_PATH];
    BOOL result = FALSE;
    if (lstrlenW(folder) < MAX_PATH - 14 && GetTempFileNameW(folder, L"TMP", 0, temp)) {
        DeleteFileW(temp);
        result = TRUE;
    }
    LogPrintf(32, L"IsWritable", L",%d", result);
    return result;
}

BOOL LocateCommonIniIn(LPCWSTR dataFolder, LPWSTR commonIni)
{
    if (FAILED(StringCchPrintfW(commonIni, MAX_PATH, L"%s%s%s", dataFolder, COMPANY_FOLDER, COMMON_INI_NAME)))
        return FALSE;
    if (GetFileAttributesW(commonIni) != INVALID_FILE_ATTRIBUTES)
        return TRUE;
    return SUCCEEDED(StringCchPrintfW(commonIni, MAX_PATH, L"%s%s%s", dataFolder, OLD_COMPANY_FOLDER, COMMON_INI_NAME));
}

BOOL LocateCommonIni(LPWSTR commonIni)
{
    LogScope scope(L"LocateCommonIni");
    WCHAR dataFolder[MAX_PATH];
    commonIni[0] = 0;
    if (!SHGetSpecialFolderPathW(nullptr, dataFolder, CSIDL_COMMON_APPDATA, TRUE) ||
        !LocateCommonIniIn(dataFolder, commonIni)) {
        commonIni[0] = 0;
        LogPrintf(LOG_E, L"LocateCommonIni", L",SHGetSpecialFolderPath,error %d", GetLastError());
        return FALSE;
    }
    return TRUE;
}

BOOL LocateUserIniIn(LPCWSTR roamingFolder, LPCWSTR userName, LPWSTR userIni)
{
    WCHAR folder[MAX_PATH], oldFolder[MAX_PATH], oldIni[MAX_PATH];
    userIni[0] = 0;
    if (FAILED(StringCchPrintfW(folder, MAX_PATH, L"%s%s", roamingFolder, COMPANY_FOLDER)) ||
        !CreateFolder(folder) ||
        FAILED(StringCchPrintfW(userIni, MAX_PATH, L"%s\\Quorvane_%s.ini", folder, userName))) {
        userIni[0] = 0;
        return FALSE;
    }
    // Fail-if-exists: a file from the older folder is taken over once and
    // never overwrites the one in use.
    if (SUCCEEDED(StringCchPrintfW(oldFolder, MAX_PATH, L"%s%s", roamingFolder, OLD_COMPANY_FOLDER)) &&
        SUCCEEDED(StringCchPrintfW(oldIni, MAX_PATH, L"%s\\Quorvane_%s.ini", oldFolder, userName)))
        CopyFileW(oldIni, userIni, TRUE);
    return TRUE;
}

BOOL LocateSettingsFiles()
{
    LogScope scope(L"LocateSettingsFiles");
    g_szSection = g_ModuleKind == MODULE_CLIENT ? L"Client" : L"Server";
    DWORD cch = ARRAYSIZE(g_szUserName);
    WCHAR roaming[MAX_PATH];
    if (!GetUserNameW(g_szUserName, &cch)) {
        LogPrintf(LOG_E, L"LocateSettingsFiles", L",GetUserName,error %d", GetLastError());
        return FALSE;
    }
    if (!SHGetSpecialFolderPathW(nullptr, roaming, CSIDL_APPDATA, TRUE)) {
        LogPrintf(LOG_E, L"LocateSettingsFiles", L",SHGetSpecialFolderPath,error %d", GetLastError());
        return FALSE;
    }
    if (!LocateUserIniIn(roaming, g_szUserName, g_szUserIni)) {
        LogPrintf(LOG_E, L"LocateSettingsFiles", L",CreateFolder,error %d", GetLastError());
        return FALSE;
    }
    return TRUE;
}
