// The tray frame shared by the server and the client module: hidden window,
// notify icon, popup menu, About box, settings sheet and message boxes.
#pragma once
#include <windows.h>

#define WM_NOTIFYICON (WM_USER + 1)

#include "frame_ids.h"   // resource ids shared by both modules

// NotifyIcon events.
#define NI_START       (-1)
#define NI_END         (-2)
#define NI_ACTIVE      1
#define NI_STOPPING    2
#define NI_WORK_BEGIN  3
#define NI_WORK_END    4
#define NI_XFER_BEGIN  5
#define NI_XFER_END    6
#define NI_TIP         7

#define NS_STARTED  1
#define NS_ACTIVE   2
#define NS_STOPPING 4

struct NotifyState {
    DWORD flags;
    LONG work;
    LONG transfer;
};

// What only the server's window procedure does; the client leaves them NULL.
struct FrameHooks {
    void (*OnCreate)(HWND hWnd);
    void (*OnClose)(HWND hWnd, BOOL endSession);
    BOOL (*OnCommand)(HWND hWnd, UINT id);
    void (*OnTimer)(HWND hWnd);
    void (*OnSessionChange)(HWND hWnd, WPARAM code, LPARAM session);   // WM_WTSSESSION_CHANGE
};
extern FrameHooks g_FrameHooks;

ATOM MyRegisterClass(HINSTANCE hInstance, int resource, LPCWSTR className);
LRESULT CALLBACK FrameWndProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);

// NotifyIcon and SetNotifyTip may be called from any thread. EndNotifyIcon
// too: it removes the icon and forgets the window in one step, after which
// events from other threads do nothing; a second call does nothing either
// (so a library being unloaded on a foreign thread can remove its icon
// before it tries to destroy the window).
void StartNotifyIcon(HWND hWnd);
void EndNotifyIcon();
void NotifyIcon(int event);
void SetNotifyTip(LPCWSTR first, LPCWSTR second);
NotifyState GetNotifyState();   // a copy, for tests and diagnostics
int GetNotifyIconId();          // the picture last chosen (IDI_TASK*), 0 when none

BOOL OnCommand(HWND hWnd, UINT id);   // the frame's commands: About and Settings
void OpenSettingDialog(HINSTANCE hInstance, HWND owner, LPCWSTR userName);
void DoPopupMenu(HWND hWnd);
INT_PTR CALLBACK AboutDlgProc(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam);
DWORD GetFileVersionMSLS(LPCWSTR path, DWORD* ms, DWORD* ls);
BOOL SelectFolder(HWND owner, LPCWSTR title, LPCWSTR initial, LPWSTR result /* MAX_PATH */);
void SetFocusAndSelect(HWND hDlg, int id);
int MessageBoxID(HWND owner, UINT id, UINT style);
int MessageBoxStr(HWND owner, LPCWSTR text, UINT style);
void CriticalMessage(UINT id);
BOOL IsUnrecoverable();

// Log settings page (dialog 2000) shown inside the settings sheet.
INT_PTR CALLBACK LogPageDlgProc(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam);
void FillLevelCombo(HWND hDlg, int level, BOOL showHidden);
