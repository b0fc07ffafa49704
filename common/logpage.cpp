// The log settings page, the only page of the settings sheet. It edits a
// copy of the stored log settings; the settings in force stay as they are
// until the next LogStart.
#include "frame.h"
#include <commctrl.h>
#include <prsht.h>
#include "log.h"
#include "module.h"

namespace {

const int kHiddenLevels = 4;   // levels 4 and 5 are shown only on request

// Filling the controls sends EN_CHANGE; only the user's own edits should
// enable the Apply button.
bool s_bFilling;

// The range labels hold their format in the dialog template.
void SetRangeLabel(HWND hDlg, int id, int low, int high)
{
    WCHAR format[64], text[64];
    GetDlgItemTextW(hDlg, id, format, ARRAYSIZE(format));
    FormatStr(text, ARRAYSIZE(text), format, low, high);
    SetDlgItemTextW(hDlg, id, text);
}

void AddLevelCaption(HWND combo, int level)
{
    WCHAR caption[MAX_PATH];
    if (!LoadStringW(g_hInst, IDS_LOGLEVEL_FIRST + level, caption, ARRAYSIZE(caption)))
        caption[0] = 0;
    SendMessageW(combo, CB_ADDSTRING, 0, (LPARAM)caption);
}

void PutSettings(HWND hDlg, const LogSettings& s)
{
    s_bFilling = true;
    SetDlgItemTextW(hDlg, IDC_LOGFOLDER, s.LogFolder);
    SetDlgItemInt(hDlg, IDC_LOGSIZE, s.LogSize, FALSE);
    SetDlgItemInt(hDlg, IDC_LOGROTATE, s.LogRotate, FALSE);
    FillLevelCombo(hDlg, s.LogLevel, FALSE);
    s_bFilling = false;
}

void PageChanged(HWND hDlg)
{
    if (!s_bFilling)
        PropSheet_Changed(GetParent(hDlg), hDlg);
}

BOOL OnInitDialog(HWND hDlg)
{
    LogScope scope(L"LogPageDlgProc");
    SendDlgItemMessageW(hDlg, IDC_LOGSIZE, EM_LIMITTEXT, 5, 0);
    SendDlgItemMessageW(hDlg, IDC_LOGROTATE, EM_LIMITTEXT, 3, 0);
    SendDlgItemMessageW(hDlg, IDC_LOGSIZE_SPIN, UDM_SETRANGE, 0, MAKELPARAM(LOGSIZE_MAX, LOGSIZE_MIN));
    SendDlgItemMessageW(hDlg, IDC_LOGROTATE_SPIN, UDM_SETRANGE, 0, MAKELPARAM(LOGROTATE_MAX, LOGROTATE_MIN));
    SetRangeLabel(hDlg, IDC_LOGSIZE_RANGE, LOGSIZE_MIN, LOGSIZE_MAX);
    SetRangeLabel(hDlg, IDC_LOGROTATE_RANGE, LOGROTATE_MIN, LOGROTATE_MAX);
    HWND combo = GetDlgItem(hDlg, IDC_LOGLEVEL);
    for (int level = 0; level < kHiddenLevels; level++)
        AddLevelCaption(combo, level);

    // What is stored, which may differ from what is in force.
    LogSettings stored = {};
    ReadLogSettings(&stored, nullptr, FALSE, FALSE);
    PutSettings(hDlg, stored);
    return TRUE;
}

void OnBrowse(HWND hDlg)
{
    WCHAR title[256], current[MAX_PATH], chosen[MAX_PATH];
    if (!LoadStringW(g_hInst, IDS_LOGFOLDER_TITLE, title, ARRAYSIZE(title)))
        title[0] = 0;
    GetDlgItemTextW(hDlg, IDC_LOGFOLDER, current, ARRAYSIZE(current));
    if (SelectFolder(hDlg, title, current, chosen))
        SetDlgItemTextW(hDlg, IDC_LOGFOLDER, chosen);
}

void OnLevelDropDown(HWND hDlg)
{
    int level = (int)SendDlgItemMessageW(hDlg, IDC_LOGLEVEL, CB_GETCURSEL, 0, 0);
    bool hidden = (GetAsyncKeyState(VK_SHIFT) & 0x8000) && (GetAsyncKeyState(VK_CONTROL) & 0x8000);
    FillLevelCombo(hDlg, level, hidden);
}

void OnCommand(HWND hDlg, WORD id, WORD code)
{
    switch (id) {
    case IDC_LOGFOLDER:
    case IDC_LOGSIZE:
    case IDC_LOGROTATE:
        if (code == EN_CHANGE)
            PageChanged(hDlg);
        break;
    case IDC_BROWSE:
        if (code == BN_CLICKED)
            OnBrowse(hDlg);
        break;
    case IDC_LOGLEVEL:
        if (code == CBN_DROPDOWN)
            OnLevelDropDown(hDlg);
        else if (code == CBN_SELCHANGE)
            PageChanged(hDlg);
        break;
    case IDC_CURRENT:
        if (code == BN_CLICKED) {
            if (const LogSettings* inForce = GetLogSettingsInForce())
                PutSettings(hDlg, *inForce);
            PageChanged(hDlg);
        }
        break;
    case IDC_DEFAULT:
        if (code == BN_CLICKED) {
            LogSettings defaults = {};
            ReadLogSettings(&defaults, nullptr, FALSE, TRUE);
            PutSettings(hDlg, defaults);
            PageChanged(hDlg);
        }
        break;
    }
}

// Reads the controls. A number is checked at the width it was read in: one
// that does not fit its 16-bit field is stored as 0, which the range check
// refuses, so that 70000 is not taken for 4464.
LogSettings ReadControls(HWND hDlg)
{
    LogSettings s = {};
    GetDlgItemTextW(hDlg, IDC_LOGFOLDER, s.LogFolder, ARRAYSIZE(s.LogFolder));
    BOOL ok = FALSE;
    UINT size = GetDlgItemInt(hDlg, IDC_LOGSIZE, &ok, FALSE);
    s.LogSize = ok && size <= 0xFFFF ? (WORD)size : 0;
    UINT rotate = GetDlgItemInt(hDlg, IDC_LOGROTATE, &ok, FALSE);
    s.LogRotate = ok && rotate <= 0xFFFF ? (WORD)rotate : 0;
    LRESULT level = SendDlgItemMessageW(hDlg, IDC_LOGLEVEL, CB_GETCURSEL, 0, 0);
    s.LogLevel = level >= 0 && level < LOGLEVEL_COUNT ? (WORD)level : LOGLEVEL_COUNT;
    return s;
}

int ControlFor(UINT message)
{
    switch (message) {
    case IDS_LOGFOLDER_BAD: return IDC_LOGFOLDER;
    case IDS_LOGSIZE_RANGE: return IDC_LOGSIZE;
    case IDS_LOGROTATE_RANGE: return IDC_LOGROTATE;
    }
    return IDC_LOGLEVEL;
}

void ShowRangeMessage(HWND hDlg, UINT message, int high)
{
    WCHAR format[512], text[512];
    if (!LoadStringW(g_hInst, message, format, ARRAYSIZE(format)))
        format[0] = 0;
    FormatStr(text, ARRAYSIZE(text), format, 1, high);
    MessageBoxStr(hDlg, text, MB_ICONEXCLAMATION);
}

void ShowInvalid(HWND hDlg, UINT message)
{
    PropSheet_SetCurSelByID(GetParent(hDlg), IDD_LOGPAGE);
    int control = ControlFor(message);
    SetFocusAndSelect(hDlg, control);
    // No detail setting chosen has no message of its own: the focus on the
    // list says where the entry is missing.
    if (control == IDC_LOGLEVEL)
        return;
    if (message == IDS_LOGFOLDER_BAD)
        MessageBoxID(hDlg, message, MB_ICONEXCLAMATION);
    else
        ShowRangeMessage(hDlg, message, message == IDS_LOGSIZE_RANGE ? LOGSIZE_MAX : LOGROTATE_MAX);
    // The box had the focus; whether the sheet gets it back by itself depends
    // on how the box was closed, so put it on the faulty field again.
    SetFocusAndSelect(hDlg, control);
}

bool DiffersFromInForce(const LogSettings& s)
{
    const LogSettings* inForce = GetLogSettingsInForce();
    return !inForce || lstrcmpW(s.LogFolder, inForce->LogFolder) != 0 ||
           s.LogSize != inForce->LogSize || s.LogRotate != inForce->LogRotate ||
           s.LogLevel != inForce->LogLevel;
}

LRESULT OnApply(HWND hDlg)
{
    LogScope scope(L"LogPageDlgProc");
    LogSettings s = ReadControls(hDlg);
    UINT message = ConfirmLogSettings(&s, TRUE);
    if (message) {
        ShowInvalid(hDlg, message);
        return PSNRET_INVALID_NOCHANGEPAGE;
    }
    WriteLogSettings(&s);
    if (DiffersFromInForce(s))
        MessageBoxID(hDlg, IDS_LOGSETTING_LATER, MB_ICONINFORMATION);
    return PSNRET_NOERROR;
}

}  // namespace

void FillLevelCombo(HWND hDlg, int level, BOOL showHidden)
{
    LogScope scope(L"FillLevelCombo");
    LogPrintf(32, L"FillLevelCombo", L",%d,%d", level, (int)showHidden);
    HWND combo = GetDlgItem(hDlg, IDC_LOGLEVEL);
    if (level < kHiddenLevels && !showHidden) {
        SendMessageW(combo, CB_DELETESTRING, 5, 0);
        SendMessageW(combo, CB_DELETESTRING, 4, 0);
    } else if (SendMessageW(combo, CB_GETCOUNT, 0, 0) == kHiddenLevels) {
        AddLevelCaption(combo, 4);
        AddLevelCaption(combo, 5);
    }
    SendMessageW(combo, CB_SETCURSEL, level, 0);
}

INT_PTR CALLBACK LogPageDlgProc(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_INITDIALOG:
        return OnInitDialog(hDlg);
    case WM_COMMAND:
        OnCommand(hDlg, LOWORD(wParam), HIWORD(wParam));
        return 0;
    case WM_NOTIFY:
        if (((LPNMHDR)lParam)->code == (UINT)PSN_APPLY) {
            SetWindowLongPtrW(hDlg, DWLP_MSGRESULT, OnApply(hDlg));
            return TRUE;
        }
        return 0;
    }
    return 0;
}
