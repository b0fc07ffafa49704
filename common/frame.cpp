// The tray frame: hidden window procedure, notify icon, popup menu, About box
// and the settings sheet. Built into the server and the client module alike;
// g_ModuleKind and g_FrameHooks carry the few differences.
#include "frame.h"
#include <shellapi.h>
#include <commctrl.h>
#include <prsht.h>
#include <windowsx.h>
#include "log.h"
#include "module.h"
#include "raii.h"

FrameHooks g_FrameHooks = {};

namespace {

// Guarded by the frame lock: the icon may be changed from any thread.
HWND s_hTrayWnd;          // set between StartNotifyIcon and EndNotifyIcon
WCHAR s_szTip[256];
NotifyState s_state;
int s_iconId;             // picture last given to the shell, 0 when none

// Used on the window thread only.
HWND s_hCurrentDlg;       // About box or settings sheet while one is open
bool s_bInCommand;        // a WM_COMMAND (and so perhaps a modal dialog) is running

// The lock lives for the whole process and is never deleted. EndNotifyIcon
// clears the window handle under it, so an event that another thread sends
// afterwards finds no window and leaves the icon alone; deleting the section
// instead would race with exactly such a late caller.
INIT_ONCE s_lockOnce = INIT_ONCE_STATIC_INIT;
CRITICAL_SECTION s_lock;

BOOL CALLBACK InitFrameLock(PINIT_ONCE, PVOID, PVOID*)
{
    InitializeCriticalSection(&s_lock);
    return TRUE;
}

CRITICAL_SECTION* FrameLock()
{
    InitOnceExecuteOnce(&s_lockOnce, InitFrameLock, nullptr, nullptr);
    return &s_lock;
}

bool IsServer() { return g_ModuleKind == MODULE_SERVER; }

LPCWSTR IconName(int id)
{
    switch (id) {
    case IDI_TASKGRAY: return L"IDI_TASKGRAY";
    case IDI_TASKREADY: return L"IDI_TASKREADY";
    case IDI_TASKCONNECT: return L"IDI_TASKCONNECT";
    }
    return L"";
}

// Applies one event to the state; false for an event that does not exist.
bool ApplyEvent(NotifyState& s, int event)
{
    switch (event) {
    case NI_START: s = NotifyState{NS_STARTED, 0, 0}; break;
    case NI_ACTIVE: s.flags |= NS_ACTIVE; break;
    case NI_STOPPING: s.flags |= NS_STOPPING; break;
    case NI_WORK_BEGIN: s.work++; break;
    case NI_WORK_END: if (s.work > 0) s.work--; break;
    case NI_XFER_BEGIN: s.transfer++; break;
    case NI_XFER_END: if (s.transfer > 0) s.transfer--; break;
    default: return false;
    }
    return true;
}

int ChooseIcon(const NotifyState& s)
{
    if (s.flags == NS_STARTED || (s.flags & NS_STOPPING))
        return IDI_TASKGRAY;
    if (s.transfer > 0 || s.work > 0)
        return IDI_TASKCONNECT;
    return IDI_TASKREADY;
}

// Runs with the frame lock held and the tray window set. Returns the picture
// chosen, or 0 when the event did not change the picture (tip, delete).
int NotifyIconLocked(int event)
{
    NOTIFYICONDATAW nid = {};
    nid.cbSize = sizeof nid;
    nid.hWnd = s_hTrayWnd;
    nid.uID = 0;
    if (event == NI_TIP) {
        nid.uFlags = NIF_TIP;
        lstrcpynW(nid.szTip, s_szTip, ARRAYSIZE(nid.szTip));
        Shell_NotifyIconW(NIM_MODIFY, &nid);
        return 0;
    }
    if (event == NI_END) {
        s_state.flags = 0;
        s_iconId = 0;
        Shell_NotifyIconW(NIM_DELETE, &nid);
        return 0;
    }
    ApplyEvent(s_state, event);
    s_iconId = ChooseIcon(s_state);
    nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    nid.uCallbackMessage = WM_NOTIFYICON;
    nid.hIcon = LoadIconW(g_hInst, MAKEINTRESOURCEW(s_iconId));
    lstrcpynW(nid.szTip, s_szTip, ARRAYSIZE(nid.szTip));
    // An add over an existing icon (the client's reset at a new connection)
    // fails harmlessly; the next event modifies the icon that is there.
    Shell_NotifyIconW(s_state.flags == NS_STARTED ? NIM_ADD : NIM_MODIFY, &nid);
    return s_iconId;
}

bool IsKnownEvent(int event)
{
    NotifyState scratch = {};
    return event == NI_TIP || event == NI_END || ApplyEvent(scratch, event);
}

// Moves the hidden window to the corner nearest the cursor, so that the
// popup menu opens towards the screen instead of off it.
void MoveNearCursor(HWND hWnd)
{
    POINT pt = {};
    RECT desk = {};
    GetCursorPos(&pt);
    GetWindowRect(GetDesktopWindow(), &desk);
    int x = pt.x < (desk.right - desk.left) / 2 ? 0 : desk.right;
    int y = pt.y < (desk.bottom - desk.top) / 2 ? -100 : desk.bottom;
    SetWindowPos(hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOREDRAW);
}

void OnNotifyIconMessage(HWND hWnd, LPARAM lParam)
{
    UINT mouse = LOWORD(lParam);
    bool click = mouse == WM_LBUTTONUP || mouse == WM_RBUTTONUP;
    if (!s_bInCommand) {
        if (click || mouse == WM_CONTEXTMENU) {
            MoveNearCursor(hWnd);
            DoPopupMenu(hWnd);
        }
    } else if (click) {
        // A modal dialog of a menu command is open: show it, not a second menu.
        if (IsWindow(s_hCurrentDlg))
            SetForegroundWindow(s_hCurrentDlg);
    }
}

void OnFrameCommand(HWND hWnd, WPARAM wParam)
{
    s_bInCommand = true;
    UINT id = LOWORD(wParam);
    if (!OnCommand(hWnd, id) && IsServer() && g_FrameHooks.OnCommand)
        g_FrameHooks.OnCommand(hWnd, id);
    s_bInCommand = false;
}

LRESULT ServerMessage(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_CLOSE:
        if (g_FrameHooks.OnClose)
            g_FrameHooks.OnClose(hWnd, FALSE);
        return 0;
    case WM_QUERYENDSESSION:
        if (g_FrameHooks.OnClose)
            g_FrameHooks.OnClose(hWnd, TRUE);
        break;
    case WM_TIMER:
        if (g_FrameHooks.OnTimer)
            g_FrameHooks.OnTimer(hWnd);
        return 0;
    case WM_WTSSESSION_CHANGE:
        if (g_FrameHooks.OnSessionChange)
            g_FrameHooks.OnSessionChange(hWnd, wParam, lParam);
        return 0;
    }
    return DefWindowProcW(hWnd, msg, wParam, lParam);
}

}  // namespace

ATOM MyRegisterClass(HINSTANCE hInstance, int resource, LPCWSTR className)
{
    LogScope scope(L"MyRegisterClass");
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = FrameWndProc;
    wc.hInstance = hInstance;
    wc.hIcon = LoadIconW(hInstance, MAKEINTRESOURCEW(resource));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    wc.lpszMenuName = MAKEINTRESOURCEW(resource);
    wc.lpszClassName = className;
    wc.hIconSm = LoadIconW(hInstance, MAKEINTRESOURCEW(IDI_SMALL));
    ATOM atom = RegisterClassExW(&wc);
    if (!atom)
        LogPrintf(LOG_E, L"MyRegisterClass", L",RegisterClassEx,%s,error %d", className, (int)GetLastError());
    return atom;
}

LRESULT CALLBACK FrameWndProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_CREATE:
        StartNotifyIcon(hWnd);
        if (IsServer() && g_FrameHooks.OnCreate)
            g_FrameHooks.OnCreate(hWnd);
        return 0;
    case WM_DESTROY:
        if (IsServer())
            PostQuitMessage(0);
        EndNotifyIcon();
        return 0;
    case WM_COMMAND:
        OnFrameCommand(hWnd, wParam);
        return 0;
    case WM_NOTIFYICON:
        OnNotifyIconMessage(hWnd, lParam);
        return 0;
    case WM_CLOSE:
    case WM_QUERYENDSESSION:
    case WM_TIMER:
    case WM_WTSSESSION_CHANGE:
        // The client's window lives in the Remote Desktop client's thread and
        // must not be closed from outside; it has no timer of its own.
        if (IsServer())
            return ServerMessage(hWnd, msg, wParam, lParam);
        if (msg != WM_QUERYENDSESSION)
            return 0;
        break;
    }
    return DefWindowProcW(hWnd, msg, wParam, lParam);
}

void StartNotifyIcon(HWND hWnd)
{
    LogScope scope(L"StartNotifyIcon");
    {
        CritSecLock lock(FrameLock());
        s_hTrayWnd = hWnd;
        if (!LoadStringW(g_hInst, IDS_APP_TITLE, s_szTip, ARRAYSIZE(s_szTip)))
            s_szTip[0] = 0;
    }
    NotifyIcon(NI_START);
}

void EndNotifyIcon()
{
    LogScope scope(L"EndNotifyIcon");
    LogScope event(L"NotifyIcon");
    LogPrintf(32, L"NotifyIcon", L",%d", NI_END);
    // Delete the icon and forget the window in one step: an event arriving
    // from another thread in between must not bring the icon back.
    CritSecLock lock(FrameLock());
    if (s_hTrayWnd)
        NotifyIconLocked(NI_END);
    s_szTip[0] = 0;
    s_state = NotifyState{};
    s_hTrayWnd = nullptr;
}

void NotifyIcon(int event)
{
    LogScope scope(L"NotifyIcon");
    LogPrintf(32, L"NotifyIcon", L",%d", event);
    if (!IsKnownEvent(event)) {
        LogPrintf(LOG_W, L"NotifyIcon", L",unknown event,%d", event);
        return;
    }
    int icon = 0;
    {
        CritSecLock lock(FrameLock());
        if (!s_hTrayWnd)
            return;
        icon = NotifyIconLocked(event);
    }
    if (icon)
        LogPrintf(32, L"NotifyIcon", L",%s", IconName(icon));
}

void SetNotifyTip(LPCWSTR first, LPCWSTR second)
{
    LogScope scope(L"SetNotifyTip");
    LogPrintf(32, L"SetNotifyTip", L",%s,%s", first ? first : L"", second ? second : L"");
    WCHAR name[128];
    if (!LoadStringW(g_hInst, IDS_APP_TITLE, name, ARRAYSIZE(name)))
        name[0] = 0;
    {
        CritSecLock lock(FrameLock());
        if (first && second)
            FormatStr(s_szTip, ARRAYSIZE(s_szTip), L"%s\n%s\n%s", name, first, second);
        else if (first)
            FormatStr(s_szTip, ARRAYSIZE(s_szTip), L"%s\n%s", name, first);
        else
            lstrcpynW(s_szTip, name, ARRAYSIZE(s_szTip));
    }
    NotifyIcon(NI_TIP);
}

NotifyState GetNotifyState()
{
    CritSecLock lock(FrameLock());
    return s_state;
}

int GetNotifyIconId()
{
    CritSecLock lock(FrameLock());
    return s_hTrayWnd ? s_iconId : 0;
}

BOOL OnCommand(HWND hWnd, UINT id)
{
    switch (LOWORD(id)) {
    case IDM_ABOUT:
        DialogBoxParamW(g_hInst, MAKEINTRESOURCEW(IDD_ABOUTBOX), hWnd, AboutDlgProc, (LPARAM)g_hInst);
        return TRUE;
    case IDM_SETTINGS:
        OpenSettingDialog(g_hInst, hWnd, g_szUserName);
        return TRUE;
    }
    return FALSE;
}

void DoPopupMenu(HWND hWnd)
{
    LogScope scope(L"DoPopupMenu");
    HMENU menu = LoadMenuW(g_hInst, MAKEINTRESOURCEW(IDR_MAINMENU));
    HMENU popup = menu ? GetSubMenu(menu, 0) : nullptr;
    if (!popup) {
        LogPrintf(LOG_E, L"DoPopupMenu", L",LoadMenu,error %d", (int)GetLastError());
        if (menu)
            DestroyMenu(menu);
        return;
    }
    int count = GetMenuItemCount(popup);
    if (!IsServer() && count >= 2 && GetMenuItemID(popup, count - 1) == IDM_EXIT) {
        // The client cannot end the Remote Desktop client it lives in.
        DeleteMenu(popup, count - 2, MF_BYPOSITION);
        DeleteMenu(popup, IDM_EXIT, MF_BYCOMMAND);
    }
    POINT pt = {};
    GetCursorPos(&pt);
    SetForegroundWindow(hWnd);
    TrackPopupMenuEx(popup, TPM_RIGHTBUTTON, pt.x, pt.y, hWnd, nullptr);
    // Without a message after the menu, a second click on the icon can find
    // the menu unable to close (a long-standing shell behaviour).
    PostMessageW(hWnd, WM_NULL, 0, 0);
    DestroyMenu(menu);
}

INT_PTR CALLBACK AboutDlgProc(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_INITDIALOG: {
        s_hCurrentDlg = hDlg;
        WCHAR path[MAX_PATH];
        DWORD n = GetModuleFileNameW((HINSTANCE)lParam, path, ARRAYSIZE(path));
        DWORD ms = 0, ls = 0;
        if (n == 0 || n >= ARRAYSIZE(path) || GetFileVersionMSLS(path, &ms, &ls) != 0)
            return TRUE;
        WCHAR format[128], text[MAX_PATH];
        GetDlgItemTextW(hDlg, IDC_VERSION, format, ARRAYSIZE(format));
        FormatStr(text, ARRAYSIZE(text), format, (int)HIWORD(ms), (int)LOWORD(ms), (int)ls);
        SetDlgItemTextW(hDlg, IDC_VERSION, text);
        return TRUE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(hDlg, LOWORD(wParam));
            s_hCurrentDlg = nullptr;
            return TRUE;
        }
        break;
    }
    return FALSE;
}

namespace {

int CALLBACK SheetCallback(HWND hSheet, UINT msg, LPARAM)
{
    if (msg == PSCB_INITIALIZED)
        s_hCurrentDlg = hSheet;
    return 0;
}

}  // namespace

void OpenSettingDialog(HINSTANCE hInstance, HWND owner, LPCWSTR userName)
{
    LogScope scope(L"OpenSettingDialog");
    LogPrintf(32, L"OpenSettingDialog", L",%s", userName);

    PROPSHEETPAGEW page = {};
    page.dwSize = sizeof page;
    page.dwFlags = PSP_DEFAULT;
    page.hInstance = hInstance;
    page.pszTemplate = MAKEINTRESOURCEW(IDD_LOGPAGE);
    page.pfnDlgProc = LogPageDlgProc;

    WCHAR caption[128];
    if (!LoadStringW(hInstance, IDS_APP_TITLE, caption, ARRAYSIZE(caption)))
        caption[0] = 0;
    PROPSHEETHEADERW sheet = {};
    sheet.dwSize = sizeof sheet;
    sheet.dwFlags = PSH_PROPSHEETPAGE | PSH_USEICONID | PSH_USECALLBACK | PSH_NOCONTEXTHELP;
    sheet.hwndParent = owner;
    sheet.hInstance = hInstance;
    sheet.pszIcon = MAKEINTRESOURCEW(IDI_SMALL);
    sheet.pszCaption = caption;
    sheet.nPages = 1;
    sheet.nStartPage = 0;
    sheet.ppsp = &page;
    sheet.pfnCallback = SheetCallback;

    // One sheet per user and module, across all processes of the session.
    WCHAR name[MAX_PATH];
    FormatStr(name, ARRAYSIZE(name), IsServer() ? L"DLG_SV_%s" : L"DLG_CL_%s", userName);
    UniqueHandle mutex(CreateMutexW(nullptr, FALSE, name));
    if (!mutex) {
        LogPrintf(LOG_E, L"OpenSettingDialog", L",CreateMutex,%s,error %d", name, (int)GetLastError());
        return;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        LogPrintf(LOG_W, L"OpenSettingDialog", L",%s,ERROR_ALREADY_EXISTS", name);
        MessageBoxID(owner, IDS_SETTING_OPENED, MB_ICONEXCLAMATION);
        return;
    }
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_UPDOWN_CLASS};
    InitCommonControlsEx(&icc);
    PropertySheetW(&sheet);
    s_hCurrentDlg = nullptr;
}
