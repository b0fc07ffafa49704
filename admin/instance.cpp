// Start-up pieces of the interactive mode: the settings file's place and the
// single-instance guard.
#include "admin.h"
#include "module.h"
#include "resource.h"
#include "settings.h"

WCHAR g_szDataFolder[MAX_PATH] = L"";
WCHAR g_szTitle[256] = L"";
WCHAR g_szInstanceName[256] = L"";

void PrepareSettingsFile(LPCWSTR commonAppData)
{
    FormatStr(g_szDataFolder, ARRAYSIZE(g_szDataFolder), L"%s%s", commonAppData, COMPANY_FOLDER);
    CreateFolder(g_szDataFolder);
    FormatStr(g_szCommonIni, ARRAYSIZE(g_szCommonIni), L"%s%s", g_szDataFolder, COMMON_INI_NAME);
    MigrateOlderSettings(commonAppData);
}

void MigrateOlderSettings(LPCWSTR commonAppData)
{
    WCHAR older[MAX_PATH];
    FormatStr(older, ARRAYSIZE(older), L"%s%s%s", commonAppData, OLD_COMPANY_FOLDER, COMMON_INI_NAME);
    // Fail-if-exists: a file already in the new folder is never overwritten,
    // and the older file stays where it is.
    CopyFileW(older, g_szCommonIni, TRUE);
}

BOOL CheckSingleInstance(HINSTANCE hInstance)
{
    (void)hInstance;
    WCHAR name[128];
    FormatStr(name, ARRAYSIZE(name), L"%s", g_szInstanceName);
    // Kept open for the life of the process: it is what marks this instance.
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    if (!mutex)
        return FALSE;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        AdminMessageBox(nullptr, IDS_ALREADY_RUNNING, MB_ICONERROR);
        return FALSE;
    }
    return TRUE;
}
