// Shows the frame's hidden window with this build's module resources and,
// on request, one of its dialogs; ends by itself after a while.
//   frame_host <action> [user prefix] [seconds] [stored detail level]
//   actions: idle, about, menu, settings, settings-list (with the level list
//            open), message, icon-gray, icon-ready, icon-connect
#include <windows.h>
#include <stdlib.h>
#include "frame.h"
#include "module.h"
#include "test_log.h"

namespace {
const UINT_PTR kQuitTimer = 77;
const UINT_PTR kListTimer = 78;

BOOL CALLBACK DropLevelList(HWND hWnd, LPARAM)
{
    HWND page = FindWindowExW(hWnd, nullptr, L"#32770", nullptr);
    if (page && GetDlgItem(page, IDC_LOGLEVEL)) {
        SendDlgItemMessageW(page, IDC_LOGLEVEL, CB_SHOWDROPDOWN, TRUE, 0);
        return FALSE;
    }
    return TRUE;
}

void CALLBACK OpenLevelList(HWND hWnd, UINT, UINT_PTR id, DWORD)
{
    KillTimer(hWnd, id);
    EnumThreadWindows(GetCurrentThreadId(), DropLevelList, 0);
}

void ShowRangeMessage(HWND hWnd)
{
    WCHAR format[512], text[512];
    LoadStringW(g_hInst, IDS_LOGSIZE_RANGE, format, ARRAYSIZE(format));
    FormatStr(text, ARRAYSIZE(text), format, 1, 10240);
    MessageBoxStr(hWnd, text, MB_ICONEXCLAMATION);
}

void CALLBACK QuitAfterTimeout(HWND hWnd, UINT, UINT_PTR, DWORD)
{
    DestroyWindow(hWnd);
    PostQuitMessage(0);
}

void SendIconEvents(LPCWSTR action)
{
    if (!lstrcmpW(action, L"icon-ready") || !lstrcmpW(action, L"icon-connect"))
        NotifyIcon(NI_ACTIVE);
    if (!lstrcmpW(action, L"icon-connect"))
        NotifyIcon(NI_XFER_BEGIN);
}

// Runs once the message loop is up, so that modal dialogs have a loop.
void StartAction(HWND hWnd, LPCWSTR action)
{
    if (!lstrcmpW(action, L"about"))
        PostMessageW(hWnd, WM_COMMAND, IDM_ABOUT, 0);
    else if (!lstrcmpW(action, L"settings"))
        PostMessageW(hWnd, WM_COMMAND, IDM_SETTINGS, 0);
    else if (!lstrcmpW(action, L"settings-list")) {
        PostMessageW(hWnd, WM_COMMAND, IDM_SETTINGS, 0);
        SetTimer(hWnd, kListTimer, 1500, OpenLevelList);
    }
    else if (!lstrcmpW(action, L"menu"))
        PostMessageW(hWnd, WM_NOTIFYICON, 0, WM_RBUTTONUP);
    else if (!lstrcmpW(action, L"message"))
        ShowRangeMessage(hWnd);
    else
        SendIconEvents(action);
}
}  // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR, int)
{
    g_hInst = hInstance;
    g_ModuleKind = QV_FRAME_KIND;
    LPCWSTR action = __argc > 1 ? __wargv[1] : L"idle";
    int seconds = __argc > 3 ? _wtoi(__wargv[3]) : 60;
    StartSandboxLog(__argc > 2 ? __wargv[2] : L"qvhost", __argc > 4 ? _wtoi(__wargv[4]) : 0);

    WCHAR className[32];
    LoadStringW(hInstance, IDS_WINDOW_CLASS, className, ARRAYSIZE(className));
    MyRegisterClass(hInstance, IDS_WINDOW_CLASS, className);
    HWND hWnd = CreateWindowExW(0, className, L"", 0, 0, 0, 0, 0, nullptr, nullptr, hInstance, nullptr);
    if (!hWnd)
        return 1;
    SetTimer(hWnd, kQuitTimer, seconds * 1000, QuitAfterTimeout);
    StartAction(hWnd, action);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    EndSandboxLog();
    return 0;
}
