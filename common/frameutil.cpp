// The frame's helpers that dialogs and start-ups use on their own: message
// boxes, the unrecoverable-error box, focus, folder choice and file version.
// Kept apart from the window code so that a program without a tray window
// (the administrator tool) links only these.
#include "frame.h"
#include <shlobj.h>
#include <shlwapi.h>
#include <memory>
#include <new>
#include "log.h"
#include "module.h"

namespace {

volatile LONG s_unrecoverable;

LPCWSTR FallbackCaption()
{
    switch (g_ModuleKind) {
    case MODULE_SERVER: return L"Quorvane_SV";
    case MODULE_CLIENT: return L"Quorvane_CL";
    default: return L"Quorvane_Admin";
    }
}

// Loads a string of the running module; false (and an empty text) when the
// module or the string is missing.
bool LoadModuleString(UINT id, LPWSTR buf, int cch)
{
    buf[0] = 0;
    return g_hInst && LoadStringW(g_hInst, id, buf, cch) > 0;
}

int CALLBACK BrowseCallback(HWND hWnd, UINT msg, LPARAM, LPARAM data)
{
    if (msg == BFFM_INITIALIZED)
        SendMessageW(hWnd, BFFM_SETSELECTIONW, TRUE, data);
    return 0;
}

}  // namespace

int MessageBoxStr(HWND owner, LPCWSTR text, UINT style)
{
    LogScope scope(L"MessageBoxStr");
    LogPrintf(32, L"MessageBoxStr", L",%s,%d", text, (int)style);
    WCHAR caption[128];
    LoadModuleString(IDS_APP_TITLE, caption, ARRAYSIZE(caption));
    // A question is always answered with Yes or No, whatever buttons the
    // caller asked for.
    if ((style & MB_ICONMASK) == MB_ICONQUESTION)
        style = (style & ~MB_TYPEMASK) | MB_YESNO;
    return MessageBoxW(owner, text, caption, style);
}

int MessageBoxID(HWND owner, UINT id, UINT style)
{
    LogScope scope(L"MessageBoxID");
    LogPrintf(32, L"MessageBoxID", L",%d,%d", (int)id, (int)style);
    WCHAR text[512];
    if (!LoadModuleString(id, text, ARRAYSIZE(text)))
        LogPrintf(LOG_E, L"MessageBoxID", L",LoadString,%d,error %d", (int)id, (int)GetLastError());
    return MessageBoxStr(owner, text, style);
}

void CriticalMessage(UINT id)
{
    LogScope scope(L"CriticalMessage");
    LogPrintf(32, L"CriticalMessage", L",%d", (int)id);
    InterlockedExchange(&s_unrecoverable, 1);
    WCHAR text[512], caption[128];
    if (!LoadModuleString(id, text, ARRAYSIZE(text)))
        lstrcpynW(text, L"Unrecoverable Exception", ARRAYSIZE(text));
    if (!LoadModuleString(IDS_APP_TITLE, caption, ARRAYSIZE(caption)))
        lstrcpynW(caption, FallbackCaption(), ARRAYSIZE(caption));
    MessageBoxW(nullptr, text, caption, MB_TOPMOST | MB_ICONERROR);
}

BOOL IsUnrecoverable()
{
    return InterlockedCompareExchange(&s_unrecoverable, 0, 0) != 0;
}

void SetFocusAndSelect(HWND hDlg, int id)
{
    LogScope scope(L"SetFocusAndSelect");
    LogPrintf(32, L"SetFocusAndSelect", L",%d", id);
    HWND control = GetDlgItem(hDlg, id);
    SetFocus(control);
    SendMessageW(control, EM_SETSEL, 0, -1);
}

BOOL SelectFolder(HWND owner, LPCWSTR title, LPCWSTR initial, LPWSTR result)
{
    LogScope scope(L"SelectFolder");
    LogPrintf(32, L"SelectFolder", L",%s,%s,%d", title, initial, MAX_PATH);
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (hr != S_OK && hr != S_FALSE) {
        LogPrintf(LOG_E, L"SelectFolder", L",CoInitializeEx,0x%08X", (unsigned)hr);
        return FALSE;
    }
    WCHAR start[MAX_PATH];
    if (!PathCanonicalizeW(start, initial))
        lstrcpynW(start, initial, ARRAYSIZE(start));

    BROWSEINFOW bi = {};
    bi.hwndOwner = owner;
    bi.pszDisplayName = result;
    bi.lpszTitle = title;
    bi.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    bi.lpfn = BrowseCallback;
    bi.lParam = (LPARAM)start;
    BOOL changed = FALSE;
    PIDLIST_ABSOLUTE item = SHBrowseForFolderW(&bi);
    if (item) {
        // The display name is not a path; only the item list gives one.
        if (SHGetPathFromIDListW(item, result)) {
            changed = lstrcmpiW(result, start) != 0;
            LogPrintf(32, L"SelectFolder", L",%s", result);
        }
        CoTaskMemFree(item);
    }
    CoUninitialize();
    return changed;
}

DWORD GetFileVersionMSLS(LPCWSTR path, DWORD* ms, DWORD* ls)
{
    LogScope scope(L"GetFileVersionMSLS");
    LogPrintf(32, L"GetFileVersionMSLS", L",%s", path);
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &handle);
    if (!size) {
        DWORD err = GetLastError();
        return err ? err : ERROR_RESOURCE_TYPE_NOT_FOUND;
    }
    std::unique_ptr<BYTE[]> block(new (std::nothrow) BYTE[size]);
    if (!block)
        return ERROR_NOT_ENOUGH_MEMORY;
    if (!GetFileVersionInfoW(path, 0, size, block.get())) {
        DWORD err = GetLastError();
        return err ? err : ERROR_RESOURCE_DATA_NOT_FOUND;
    }
    VS_FIXEDFILEINFO* info = nullptr;
    UINT len = 0;
    if (!VerQueryValueW(block.get(), L"\\", (LPVOID*)&info, &len) || !info ||
        len < sizeof *info || info->dwSignature != VS_FFI_SIGNATURE)
        return ERROR_RESOURCE_DATA_NOT_FOUND;
    *ms = info->dwFileVersionMS;
    *ls = info->dwFileVersionLS;
    LogPrintf(32, L"GetFileVersionMSLS", L",%d,%d", (int)*ms, (int)*ls);
    return 0;
}
