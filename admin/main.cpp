#include "admin.h"
#include "module.h"
#include "resource.h"
#include <shlobj.h>
#include <wchar.h>

static int RunInteractive(HINSTANCE hInstance)
{
    if (!IsUserAnAdmin()) {
        AdminMessageBox(nullptr, IDS_NEED_ADMIN_RIGHTS, MB_ICONERROR);
        return ADMIN_EXIT_REFUSED;
    }
    WCHAR commonAppData[MAX_PATH];
    if (!SHGetSpecialFolderPathW(nullptr, commonAppData, CSIDL_COMMON_APPDATA, TRUE))
        return (int)GetLastError();
    PrepareSettingsFile(commonAppData);
    ReadAdminSettings();
    LoadStringW(hInstance, IDS_APP_TITLE, g_szTitle, ARRAYSIZE(g_szTitle));
    LoadStringW(hInstance, IDS_INSTANCE_NAME, g_szInstanceName, ARRAYSIZE(g_szInstanceName));
    if (!CheckSingleInstance(hInstance))
        return ADMIN_EXIT_REFUSED;
    ShowAdminSettings();
    return 0;
}

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nShowCmd)
{
    (void)hPrevInstance;
    (void)nShowCmd;
    g_hInst = hInstance;
    g_ModuleKind = MODULE_ADMIN;
    if (lpCmdLine && lpCmdLine[0]) {
        // Exactly the keyword; anything else, spaces included, is a request file path.
        if (wcscmp(lpCmdLine, ADMIN_CHECK_KEYWORD) == 0)
            return IsUserAnAdmin() ? 1 : 0;
        return (int)ExecuteRequestFile(lpCmdLine);
    }
    return RunInteractive(hInstance);
}
