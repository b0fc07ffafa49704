// Shows the status window as the module shows it, for screenshots, with a
// snapshot of several states: applied, older driver, not a target driver,
// attempts used, retrying and waiting.  qv_statusshow.exe
#include <windows.h>
#include <stddef.h>
#include <commctrl.h>
#include "module.h"
#include "printerlist.h"
#include "resource.h"
#include "server.h"
#include "status.h"

static const struct {
    LPCWSTR name, driver;
    BOOL target;
    PRINTERSTATE state;
    PRINTERREASON reason;
    DWORD error;
    int attempts;
} kRows[] = {
    {L"経理部プリンター (リダイレクト 2)", L"Halvren Office Dravo", TRUE, PRINTER_APPLIED, REASON_NONE, 0, 0},
    {L"営業部カラー (リダイレクト 2)", L"Halvren Office DravoQ", TRUE, PRINTER_GAVE_UP, REASON_OLDER_DRIVER, 0, 0},
    {L"PDF 出力 (リダイレクト 2)", L"Halvren PDF Writer", FALSE, PRINTER_WAITING, REASON_NONE, 0, 5},
    {L"倉庫ラベル (リダイレクト 2)", L"Halvren Vendle Printer Driver", TRUE, PRINTER_GAVE_UP, REASON_APPLY_FAILED, 87, 0},
    {L"総務部 A3 (リダイレクト 2)", L"Halvren Office Dravo", TRUE, PRINTER_RETRY, REASON_NO_DEVMODE, 0, 3},
    {L"会議室 (リダイレクト 2)", L"Halvren Office Dravo", TRUE, PRINTER_WAITING, REASON_NONE, 0, 5},
};

static STATUSSNAPSHOT* Snapshot()
{
    int n = ARRAYSIZE(kRows);
    auto* s = (STATUSSNAPSHOT*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY,
                                         offsetof(STATUSSNAPSHOT, rows) + n * sizeof(STATUSROW));
    if (!s)
        return nullptr;
    s->bConnected = s->bClientModule = s->bVersion = s->bDetails = TRUE;
    s->dwVersionMS = 0x00010002;
    s->dwVersionLS = 7;
    lstrcpynW(s->szClient, L"PC-KEIRI-01", ARRAYSIZE(s->szClient));
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    for (int i = 0; i < n; i++) {
        STATUSROW& r = s->rows[s->nRows++];
        lstrcpynW(r.szName, kRows[i].name, ARRAYSIZE(r.szName));
        lstrcpynW(r.szDriver, kRows[i].driver, ARRAYSIZE(r.szDriver));
        r.bTarget = kRows[i].target;
        r.state = kRows[i].state;
        r.reason = kRows[i].reason;
        r.dwError = kRows[i].error;
        r.nAttempts = kRows[i].attempts;
        r.ftChanged = kRows[i].target ? now : FILETIME{};
        s->nTargets += r.bTarget;
        s->nApplied += r.state == PRINTER_APPLIED;
    }
    return s;
}

int wmain()
{
    g_hInst = GetModuleHandleW(nullptr);
    g_ModuleKind = MODULE_SERVER;
    if (!CreateStatusDialog(g_hInst))
        return 1;
    ShowStatusWindow();
    STATUSSNAPSHOT* s = Snapshot();
    if (s && !PostMessageW(g_hStatusWnd, WM_STATUS_SNAPSHOT, 0, (LPARAM)s))
        FreeStatusSnapshot(s);
    // The printer whose attempts are used up selected: its reason whole below the list.
    MSG msg;
    for (DWORD start = GetTickCount(); GetTickCount() - start < 500; Sleep(10))
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
    ListView_SetItemState(GetDlgItem(g_hStatusWnd, IDC_STATUS_LIST), 3, LVIS_SELECTED | LVIS_FOCUSED,
                          LVIS_SELECTED | LVIS_FOCUSED);
    SetTimer(nullptr, 0, 7000, nullptr);
    while (GetMessageW(&msg, nullptr, 0, 0) > 0 && msg.message != WM_TIMER) {
        if (!IsDialogMessageW(g_hStatusWnd, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    DestroyStatusWindow();
    return 0;
}
