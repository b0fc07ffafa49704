// The administrator settings page: account (proved by starting this tool
// under it) and watch interval, stored in the common settings file.
#include "admin.h"
#include "cipher.h"
#include "frame.h"
#include "module.h"
#include "raii.h"
#include "resource.h"
#include "settings.h"
#include <commctrl.h>
#include <prsht.h>
#include <wchar.h>

WCHAR g_szAdminUser[256] = L"";
WCHAR g_szAdminPassword[256] = L"";
DWORD g_dwInterval = ADMIN_INTERVAL_DEFAULT;

static const WCHAR kSection[] = L"Server";

int AdminMessageBox(HWND owner, UINT id, UINT style)
{
    if (id != IDS_INTERVAL_RANGE)
        return MessageBoxID(owner, id, style);
    WCHAR format[512], text[512];
    LoadStringW(g_hInst, id, format, ARRAYSIZE(format));
    FormatStr(text, ARRAYSIZE(text), format, ADMIN_INTERVAL_MIN, ADMIN_INTERVAL_MAX);
    return MessageBoxStr(owner, text, style);
}

void ReadAdminSettings()
{
    if (!g_szCommonIni[0])
        return;
    GetPrivateProfileStringW(kSection, L"AdminUser", L"", g_szAdminUser, ARRAYSIZE(g_szAdminUser), g_szCommonIni);
    WCHAR stored[CCH_CREDENTIAL];
    GetPrivateProfileStringW(kSection, L"AdminPassword", L"", stored, ARRAYSIZE(stored), g_szCommonIni);
    ReadStoredCredential(stored, g_szAdminPassword);
    g_dwInterval = GetPrivateProfileIntW(kSection, L"Interval", ADMIN_INTERVAL_DEFAULT, g_szCommonIni);
}

void WriteAdminSettings()
{
    if (!g_szCommonIni[0])
        return;
    WritePrivateProfileStringW(kSection, L"AdminUser", g_szAdminUser, g_szCommonIni);
    // Enciphering can only fail for an empty secret or a missing provider;
    // the secret is then kept as typed.
    LPCWSTR stored = g_szAdminPassword;
    UniqueHeapBlock text;
    DWORD cch = 0;
    if (EncryptCredential(g_szAdminPassword, nullptr, &cch) == CRED_OK) {
        text.reset(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, cch * sizeof(WCHAR)));
        if (text && EncryptCredential(g_szAdminPassword, (LPWSTR)text.get(), &cch) == CRED_OK
            && ((LPCWSTR)text.get())[0])
            stored = (LPCWSTR)text.get();
    }
    WritePrivateProfileStringW(kSection, L"AdminPassword", stored, g_szCommonIni);
    WCHAR interval[128];
    FormatStr(interval, ARRAYSIZE(interval), L"%d", (int)g_dwInterval);
    WritePrivateProfileStringW(kSection, L"Interval", interval, g_szCommonIni);
}

BOOL CheckAdminAccount()
{
    WCHAR self[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, self, ARRAYSIZE(self));
    if (n == 0 || n >= ARRAYSIZE(self))
        return FALSE;
    WCHAR commandLine[] = L" " ADMIN_CHECK_KEYWORD;
    STARTUPINFOW si = { sizeof si };
    PROCESS_INFORMATION pi = {};
    // The manifest asks for administrator rights, so an account whose logon
    // gives no elevated token cannot even start the check.
    if (!CreateProcessWithLogonW(g_szAdminUser, nullptr, g_szAdminPassword, 0, self, commandLine,
                                 CREATE_NEW_CONSOLE | CREATE_NEW_PROCESS_GROUP | CREATE_DEFAULT_ERROR_MODE,
                                 nullptr, nullptr, &si, &pi))
        return FALSE;
    UniqueHandle process(pi.hProcess), thread(pi.hThread);
    WaitForSingleObject(process.get(), INFINITE);
    DWORD code = 0;
    return GetExitCodeProcess(process.get(), &code) && code == 1;
}

RegServiceState QueryRegServiceState()
{
    UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueService service(manager ? OpenServiceW(manager.get(), REG_SERVICE_NAME, SERVICE_QUERY_STATUS) : nullptr);
    SERVICE_STATUS status = {};
    if (!service || !QueryServiceStatus(service.get(), &status))
        return REG_SERVICE_MISSING;
    return status.dwCurrentState == SERVICE_RUNNING ? REG_SERVICE_RUNNING : REG_SERVICE_STOPPED;
}

static void ShowServiceState(HWND hDlg)
{
    static const UINT ids[] = {IDS_SERVICE_MISSING, IDS_SERVICE_STOPPED, IDS_SERVICE_RUNNING};
    WCHAR text[256];
    if (LoadStringW(g_hInst, ids[QueryRegServiceState()], text, ARRAYSIZE(text)))
        SetDlgItemTextW(hDlg, IDC_SERVICE_STATE, text);
}

static void OnInitDialog(HWND hDlg)
{
    WCHAR format[128], text[128];
    GetDlgItemTextW(hDlg, IDC_INTERVAL_RANGE, format, ARRAYSIZE(format));
    FormatStr(text, ARRAYSIZE(text), format, ADMIN_INTERVAL_MIN, ADMIN_INTERVAL_MAX);
    SetDlgItemTextW(hDlg, IDC_INTERVAL_RANGE, text);
    SendDlgItemMessageW(hDlg, IDC_INTERVAL_SPIN, UDM_SETRANGE, 0, MAKELPARAM(ADMIN_INTERVAL_MAX, ADMIN_INTERVAL_MIN));
    SetDlgItemTextW(hDlg, IDC_ADMIN_USER, g_szAdminUser);
    SetDlgItemTextW(hDlg, IDC_ADMIN_PASSWORD, g_szAdminPassword);
    ShowWindow(GetDlgItem(hDlg, IDC_PORT_LABEL), SW_HIDE);
    ShowWindow(GetDlgItem(hDlg, IDC_PORT), SW_HIDE);
    SetDlgItemInt(hDlg, IDC_INTERVAL, g_dwInterval, FALSE);
    ShowServiceState(hDlg);
}

static BOOL OnCommand(HWND hDlg, UINT id, UINT code)
{
    switch (id) {
    case IDC_ADMIN_USER:
    case IDC_ADMIN_PASSWORD:
    case IDC_INTERVAL:
    case IDC_PORT:
        if (code == EN_CHANGE)
            PropSheet_Changed(GetParent(hDlg), hDlg);
        return TRUE;
    }
    return FALSE;
}

// 0 when the page's values may be stored, else the message to show.
static UINT ValidateAdminSettings(HWND hDlg)
{
    GetDlgItemTextW(hDlg, IDC_ADMIN_USER, g_szAdminUser, ARRAYSIZE(g_szAdminUser));
    GetDlgItemTextW(hDlg, IDC_ADMIN_PASSWORD, g_szAdminPassword, ARRAYSIZE(g_szAdminPassword));
    g_dwInterval = GetDlgItemInt(hDlg, IDC_INTERVAL, nullptr, FALSE);
    // With the service installed the account may be cleared: nothing needs it.
    if (!g_szAdminUser[0] && (g_szAdminPassword[0] || QueryRegServiceState() == REG_SERVICE_MISSING)) {
        SetFocus(GetDlgItem(hDlg, IDC_ADMIN_USER));
        return IDS_NO_ADMIN_USER;
    }
    if (g_dwInterval < ADMIN_INTERVAL_MIN || g_dwInterval > ADMIN_INTERVAL_MAX) {
        SetFocusAndSelect(hDlg, IDC_INTERVAL);
        return IDS_INTERVAL_RANGE;
    }
    return 0;
}

static INT_PTR OnApply(HWND hDlg)
{
    UINT message = ValidateAdminSettings(hDlg);
    if (message == 0) {
        if (!g_szAdminUser[0] || CheckAdminAccount()) {
            WriteAdminSettings();
            SetWindowLongPtrW(hDlg, DWLP_MSGRESULT, PSNRET_NOERROR);
            return TRUE;
        }
        message = IDS_ACCOUNT_REFUSED;
    }
    AdminMessageBox(hDlg, message, MB_ICONWARNING);
    SetWindowLongPtrW(hDlg, DWLP_MSGRESULT, PSNRET_INVALID_NOCHANGEPAGE);
    return TRUE;
}

INT_PTR CALLBACK AdminSettingsDlgProc(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_INITDIALOG:
        OnInitDialog(hDlg);
        return TRUE;
    case WM_COMMAND:
        return OnCommand(hDlg, LOWORD(wParam), HIWORD(wParam));
    case WM_NOTIFY:
        if (((LPNMHDR)lParam)->code == PSN_APPLY)
            return OnApply(hDlg);
        break;
    }
    return FALSE;
}

void ShowAdminSettings()
{
    PROPSHEETPAGEW page = {};
    page.dwSize = sizeof page;
    page.hInstance = g_hInst;
    page.pszTemplate = MAKEINTRESOURCEW(IDD_ADMINSETTINGS);
    page.pfnDlgProc = AdminSettingsDlgProc;
    WCHAR caption[128];
    LoadStringW(g_hInst, IDS_APP_TITLE, caption, ARRAYSIZE(caption));
    PROPSHEETHEADERW header = {};
    header.dwSize = sizeof header;
    header.dwFlags = PSH_PROPSHEETPAGE | PSH_USEICONID | PSH_USECALLBACK | PSH_NOCONTEXTHELP;
    header.hInstance = g_hInst;
    header.pszIcon = MAKEINTRESOURCEW(IDI_ADMIN);
    header.pszCaption = caption;
    header.nPages = 1;
    header.nStartPage = 0;
    header.ppsp = &page;
    PropertySheetW(&header);
}
