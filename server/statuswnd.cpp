// The status window: a modeless dialog of the window thread, made hidden at
// start-up so that it receives every snapshot (and keeps the tray tip's
// summary current) whether it is shown or not. Closing it only hides it.
#include "status.h"
#include <commctrl.h>
#include <wchar.h>
#include "frame.h"
#include "log.h"
#include "module.h"
#include "resource.h"
#include "server.h"

namespace {

// The window thread's alone.
STATUSSNAPSHOT* s_shown;   // the last snapshot received
bool s_fitPending;         // shown, and not yet widened to its first detailed list
WCHAR s_tipSummary[64];    // the summary last put into the tip

void Load(UINT id, LPWSTR out, int cch)
{
    if (!id || !LoadStringW(g_hInst, id, out, cch))
        out[0] = 0;
}

// The reason whole (the detail pane), or short (the list's column, which
// must stay narrow enough to show whole beside the others).
void ReasonText(const STATUSROW& row, UINT id, LPWSTR out, int cch, bool brief)
{
    WCHAR format[256];
    Load(id && brief ? id + IDS_REASON_SHORT : id, format, ARRAYSIZE(format));
    if (id == IDS_REASON_ATTEMPTS) {
        WCHAR last[256];
        ReasonText(row, IDS_REASON_FIRST + (UINT)row.reason, last, ARRAYSIZE(last), brief);
        FormatStr(out, cch, format, PRINTER_ATTEMPTS, last);
    } else {
        FormatStr(out, cch, format, row.dwError);
    }
}

void ChangedText(const FILETIME& ft, LPWSTR out, int cch)
{
    FILETIME local;
    SYSTEMTIME st;
    out[0] = 0;
    if ((ft.dwLowDateTime || ft.dwHighDateTime) && FileTimeToLocalFileTime(&ft, &local) &&
        FileTimeToSystemTime(&local, &st))
        FormatStr(out, cch, L"%04d/%02d/%02d %02d:%02d:%02d", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
                  st.wSecond);
}

void CellTexts(const STATUSROW& row, WCHAR cells[COL_COUNT][512])
{
    STATUSTEXT t = StatusTextIds(row);
    lstrcpynW(cells[COL_NAME], row.szName, 512);
    lstrcpynW(cells[COL_DRIVER], row.szDriver, 512);
    Load(row.bTarget ? IDS_TARGET_YES : IDS_TARGET_NO, cells[COL_TARGET], 512);
    Load(t.state, cells[COL_STATE], 512);
    ChangedText(row.ftChanged, cells[COL_CHANGED], 512);
    if (row.bTarget)
        FormatStr(cells[COL_ATTEMPTS], 512, L"%d", row.nAttempts);
    else
        cells[COL_ATTEMPTS][0] = 0;
    ReasonText(row, t.reason, cells[COL_REASON], 512, true);
}

void HeaderText(const STATUSSNAPSHOT* s, LPWSTR out, int cch)
{
    WCHAR format[256];
    UINT id = !s || !s->bConnected ? IDS_STATUS_NO_PC
              : !s->bClientModule  ? IDS_STATUS_NO_ADDIN
              : s->bVersion        ? IDS_STATUS_PC
                                   : IDS_STATUS_PC_NOVER;
    Load(id, format, ARRAYSIZE(format));
    if (id == IDS_STATUS_PC)
        FormatStr(out, cch, format, s->szClient, (int)HIWORD(s->dwVersionMS), (int)LOWORD(s->dwVersionMS),
                  (int)s->dwVersionLS);
    else
        FormatStr(out, cch, format, s ? s->szClient : L"");
}

// The selected printer's name and its reason whole, below the list.
void ShowDetail(HWND hDlg)
{
    HWND list = GetDlgItem(hDlg, IDC_STATUS_LIST);
    int i = ListView_GetNextItem(list, -1, LVNI_SELECTED);
    static WCHAR text[CCH_STATUS_NAME + 600];
    if (i < 0 || !s_shown || i >= s_shown->nRows) {
        Load(IDS_STATUS_NO_DETAIL, text, ARRAYSIZE(text));
    } else {
        // Rows are inserted in the snapshot's order.
        const STATUSROW& row = s_shown->rows[i];
        WCHAR state[64], reason[512];
        STATUSTEXT t = StatusTextIds(row);
        Load(t.state, state, ARRAYSIZE(state));
        ReasonText(row, t.reason, reason, ARRAYSIZE(reason), false);
        FormatStr(text, ARRAYSIZE(text), L"%s\r\n%s  %s", row.szName, state, reason);
    }
    SetDlgItemTextW(hDlg, IDC_STATUS_DETAIL, text);
}

void SelectedName(HWND list, LPWSTR out, int cch)
{
    out[0] = 0;
    int i = ListView_GetNextItem(list, -1, LVNI_SELECTED);
    if (i >= 0)
        ListView_GetItemText(list, i, COL_NAME, out, cch);
}

void InsertRow(HWND list, int index, const STATUSROW& row, LPCWSTR selected)
{
    static WCHAR cells[COL_COUNT][512];   // the window thread's; too large for its stack
    CellTexts(row, cells);
    LVITEMW item = {};
    item.mask = LVIF_TEXT;
    item.iItem = index;
    item.pszText = cells[COL_NAME];
    int at = ListView_InsertItem(list, &item);
    for (int c = 1; c < COL_COUNT; c++)
        ListView_SetItemText(list, at, c, cells[c]);
    if (wcscmp(row.szName, selected) == 0)
        ListView_SetItemState(list, at, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
}

// Every column as wide as its widest text and its header: nothing is cut.
void FitColumns(HWND list)
{
    for (int c = 0; c < COL_COUNT; c++) {
        WCHAR title[64];
        Load(IDS_COLUMN_FIRST + c, title, ARRAYSIZE(title));
        ListView_SetColumnWidth(list, c, LVSCW_AUTOSIZE);
        int header = ListView_GetStringWidth(list, title) + 16;
        if (ListView_GetColumnWidth(list, c) < header)
            ListView_SetColumnWidth(list, c, header);
    }
}

void Fill(HWND hDlg)
{
    HWND list = GetDlgItem(hDlg, IDC_STATUS_LIST);
    WCHAR text[CCH_CLIENT_NAME + 256], selected[CCH_STATUS_NAME];
    HeaderText(s_shown, text, ARRAYSIZE(text));
    SetDlgItemTextW(hDlg, IDC_STATUS_PC, text);
    SelectedName(list, selected, ARRAYSIZE(selected));
    SendMessageW(list, WM_SETREDRAW, FALSE, 0);
    ListView_DeleteAllItems(list);
    for (int i = 0; s_shown && i < s_shown->nRows; i++)
        InsertRow(list, i, s_shown->rows[i], selected);
    FitColumns(list);
    SendMessageW(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
    EnableWindow(GetDlgItem(hDlg, IDC_APPLY_AGAIN), ListView_GetSelectedCount(list) > 0);
    ShowDetail(hDlg);
}

// The tray tip: the module's name, the summary, then the PC's name, which
// alone is cut when the tip's length runs out.
void UpdateTip(const STATUSSNAPSHOT* s)
{
    if (s->nTargets == 0) {
        s_tipSummary[0] = 0;
        return;
    }
    WCHAR format[64], summary[ARRAYSIZE(s_tipSummary)];
    Load(IDS_TIP_SUMMARY, format, ARRAYSIZE(format));
    FormatStr(summary, ARRAYSIZE(summary), format, s->nTargets, s->nApplied);
    if (wcscmp(summary, s_tipSummary) == 0)
        return;
    lstrcpynW(s_tipSummary, summary, ARRAYSIZE(s_tipSummary));
    SetNotifyTip(summary, s->bConnected ? s->szClient : nullptr);
}

void InitColumns(HWND list)
{
    ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
    for (int c = 0; c < COL_COUNT; c++) {
        WCHAR title[64];
        Load(IDS_COLUMN_FIRST + c, title, ARRAYSIZE(title));
        LVCOLUMNW col = {};
        col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        col.pszText = title;
        col.cx = 60;
        col.iSubItem = c;
        ListView_InsertColumn(list, c, &col);
    }
    FitColumns(list);
}

// The list fills the window; the buttons keep their size at its bottom right.
void Layout(HWND hDlg, int cx, int cy)
{
    RECT m = {7, 7, 4, 20};   // margin, gap, header height (dialog units)
    MapDialogRect(hDlg, &m);
    static const int kButtons[] = {IDCANCEL, IDC_APPLY_ALL, IDC_APPLY_AGAIN};
    int x = cx - m.left, buttonH = 0;
    for (int id : kButtons) {
        HWND b = GetDlgItem(hDlg, id);
        RECT r;
        GetWindowRect(b, &r);
        int w = r.right - r.left;
        buttonH = r.bottom - r.top;
        x -= w;
        SetWindowPos(b, nullptr, x, cy - m.left - buttonH, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        x -= m.right;
    }
    SetWindowPos(GetDlgItem(hDlg, IDC_STATUS_PC), nullptr, m.left, m.top, cx - 2 * m.left, m.bottom - m.top - m.right,
                 SWP_NOZORDER);
    RECT d = {0, 0, 0, 26};   // the detail pane's height: three lines
    MapDialogRect(hDlg, &d);
    int detailY = cy - m.left - buttonH - m.right - d.bottom;
    SetWindowPos(GetDlgItem(hDlg, IDC_STATUS_DETAIL), nullptr, m.left, detailY, cx - 2 * m.left, d.bottom,
                 SWP_NOZORDER);
    int listH = detailY - m.right - m.bottom;
    SetWindowPos(GetDlgItem(hDlg, IDC_STATUS_LIST), nullptr, m.left, m.bottom, cx - 2 * m.left, listH > 0 ? listH : 0,
                 SWP_NOZORDER);
}

void OnStatusCommand(HWND hDlg, UINT id)
{
    WCHAR name[CCH_STATUS_NAME];
    switch (id) {
    case IDC_APPLY_AGAIN:
        SelectedName(GetDlgItem(hDlg, IDC_STATUS_LIST), name, ARRAYSIZE(name));
        if (name[0])
            RequestApplyAgain(name);
        break;
    case IDC_APPLY_ALL:
        RequestApplyAgain(nullptr);
        break;
    case IDCANCEL:
        ShowWindow(hDlg, SW_HIDE);
        break;
    }
}

// Widens the window, within the work area, until every column shows whole;
// once per showing, so that a size the user chose afterwards stays.
void FitToColumns(HWND hDlg)
{
    HWND list = GetDlgItem(hDlg, IDC_STATUS_LIST);
    RECT listRect, work, wnd;
    GetClientRect(list, &listRect);
    GetWindowRect(hDlg, &wnd);
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    int need = GetSystemMetrics(SM_CXVSCROLL) + 8;
    for (int c = 0; c < COL_COUNT; c++)
        need += ListView_GetColumnWidth(list, c);
    int grow = need - (listRect.right - listRect.left);
    if (grow <= 0)
        return;
    int width = wnd.right - wnd.left + grow;
    if (width > work.right - work.left)
        width = work.right - work.left;
    int x = wnd.left + width > work.right ? work.right - width : wnd.left;
    SetWindowPos(hDlg, nullptr, x, wnd.top, width, wnd.bottom - wnd.top, SWP_NOZORDER);
}

void OnSnapshot(HWND hDlg, STATUSSNAPSHOT* snapshot)
{
    FreeStatusSnapshot(s_shown);
    s_shown = snapshot;
    UpdateTip(s_shown);
    if (!IsWindowVisible(hDlg))
        return;
    Fill(hDlg);
    if (s_fitPending && s_shown->bDetails) {
        s_fitPending = false;
        FitToColumns(hDlg);
    }
}

// Snapshots still on their way are freed with the window.
void OnDestroy(HWND hDlg)
{
    MSG msg;
    while (PeekMessageW(&msg, hDlg, WM_STATUS_SNAPSHOT, WM_STATUS_SNAPSHOT, PM_REMOVE))
        FreeStatusSnapshot((STATUSSNAPSHOT*)msg.lParam);
    FreeStatusSnapshot(s_shown);
    s_shown = nullptr;
    s_tipSummary[0] = 0;
}

INT_PTR CALLBACK StatusDlgProc(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_INITDIALOG: {
        WCHAR title[128], app[128], caption[260];
        Load(IDS_STATUS_TITLE, title, ARRAYSIZE(title));
        Load(IDS_APP_TITLE, app, ARRAYSIZE(app));
        FormatStr(caption, ARRAYSIZE(caption), L"%s - %s", title, app);
        SetWindowTextW(hDlg, caption);
        InitColumns(GetDlgItem(hDlg, IDC_STATUS_LIST));
        return TRUE;
    }
    case WM_SIZE:
        Layout(hDlg, LOWORD(lParam), HIWORD(lParam));
        return TRUE;
    case WM_COMMAND:
        OnStatusCommand(hDlg, LOWORD(wParam));
        return TRUE;
    case WM_NOTIFY: {
        const NMHDR* n = (const NMHDR*)lParam;
        if (n->idFrom == IDC_STATUS_LIST && n->code == LVN_ITEMCHANGED) {
            EnableWindow(GetDlgItem(hDlg, IDC_APPLY_AGAIN),
                         ListView_GetSelectedCount(GetDlgItem(hDlg, IDC_STATUS_LIST)) > 0);
            ShowDetail(hDlg);
        }
        return FALSE;
    }
    case WM_STATUS_SNAPSHOT:
        OnSnapshot(hDlg, (STATUSSNAPSHOT*)lParam);
        return TRUE;
    case WM_DESTROY:
        OnDestroy(hDlg);
        return FALSE;
    }
    return FALSE;
}

}  // namespace

HWND CreateStatusDialog(HINSTANCE hInst)
{
    static const WCHAR F[] = L"CreateStatusDialog";
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&icc);
    HWND wnd = CreateDialogParamW(hInst, MAKEINTRESOURCEW(IDD_STATUS), nullptr, StatusDlgProc, 0);
    if (!wnd)
        LogPrintf(LOG_E, F, L",CreateDialogParam,error %d", GetLastError());
    else
        LogPrintf(32, F, L",%p", wnd);
    g_hStatusWnd = wnd;
    return wnd;
}

void ShowStatusWindow()
{
    static const WCHAR F[] = L"ShowStatusWindow";
    LogScope scope(F);
    if (!g_hStatusWnd)
        return;
    Fill(g_hStatusWnd);
    if (!IsWindowVisible(g_hStatusWnd))
        s_fitPending = true;
    ShowWindow(g_hStatusWnd, SW_SHOWNORMAL);
    SetForegroundWindow(g_hStatusWnd);
    // A pass now brings the drivers and the printers of no target driver,
    // which the watch thread looks up only while the window is shown.
    if (g_hEvent[EVENT_TIMER])
        SetEvent(g_hEvent[EVENT_TIMER]);
}

void DestroyStatusWindow()
{
    if (!g_hStatusWnd)
        return;
    HWND wnd = g_hStatusWnd;
    g_hStatusWnd = nullptr;
    DestroyWindow(wnd);
}
