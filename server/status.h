// What the user sees of each printer: the watch thread's snapshot of its
// list, handed to the status window's thread, and the user's request to
// apply again, handed back to the watch thread.
#pragma once
#include <windows.h>
#include "printerlist.h"
#include "wtsio.h"

// lParam: a STATUSSNAPSHOT* that the receiver frees with FreeStatusSnapshot.
#define WM_STATUS_SNAPSHOT (WM_APP + 1)
#define STATUS_ROWS_MAX    512
#define CCH_STATUS_NAME    CCH_LOCAL_NAME

enum STATUSCOLUMN {
    COL_NAME, COL_DRIVER, COL_TARGET, COL_STATE, COL_CHANGED, COL_ATTEMPTS, COL_REASON, COL_COUNT
};

struct STATUSROW {
    WCHAR szName[CCH_STATUS_NAME];
    WCHAR szDriver[MAX_PATH];   // empty when the window was closed at the pass
    BOOL bTarget;
    PRINTERSTATE state;
    PRINTERREASON reason;
    DWORD dwError;
    int nAttempts;
    FILETIME ftChanged;          // zero for a printer the watch thread has not taken in
};

struct STATUSSNAPSHOT {
    BOOL bConnected;             // a Remote Desktop client is known
    BOOL bClientModule;          // its add-in answered the greeting
    BOOL bVersion;               // ... and told its version
    DWORD dwVersionMS, dwVersionLS;
    WCHAR szClient[CCH_CLIENT_NAME];
    int nTargets, nApplied;      // the tray tip's summary
    BOOL bDetails;               // drivers and printers of no target driver are listed
    int nRows;
    STATUSROW rows[1];
};

// The window that receives the snapshots; set on the window thread before
// the watch thread starts and cleared after it ended. NULL: none is made.
extern HWND g_hStatusWnd;

// The texts of one row: its state and its reason (0: none to show).
struct STATUSTEXT {
    UINT state;
    UINT reason;
};
STATUSTEXT StatusTextIds(const STATUSROW& row);

// Watch thread, at the end of each pass: the list (and, while the window is
// shown, every redirected printer with its driver) posted to the window.
void PostStatusSnapshot(const CLIENTRECORD* client, CPrinterList& list);
void FreeStatusSnapshot(STATUSSNAPSHOT* snapshot);

// Window thread: gives the printer of that name (NULL: every printer) its
// attempts back at the next pass, and wakes the loop for it.
void RequestApplyAgain(LPCWSTR name);
// Watch thread, at the start of each pass: the requests since the last one.
void TakeApplyAgain(CPrinterList& list);

// The status window (statuswnd.cpp), made hidden at start-up.
HWND CreateStatusDialog(HINSTANCE hInst);
void ShowStatusWindow();
void DestroyStatusWindow();
