#include "harness.h"
#include <gtest/gtest.h>
#include "frame.h"
#include "module.h"

namespace {
const UINT WM_APP_STOP = WM_APP + 40;

struct Search {
    Kind kind;
    DWORD pid;
    HWND found;
};

bool HasChild(HWND parent, LPCWSTR cls)
{
    return FindWindowExW(parent, nullptr, cls, nullptr) != nullptr;
}

bool IsKind(HWND hWnd, Kind kind)
{
    WCHAR cls[64];
    GetClassNameW(hWnd, cls, ARRAYSIZE(cls));
    if (kind == Kind::Menu)
        return !lstrcmpW(cls, L"#32768");
    if (lstrcmpW(cls, L"#32770"))
        return false;
    switch (kind) {
    case Kind::Sheet: return HasChild(hWnd, L"SysTabControl32");
    case Kind::About: return GetDlgItem(hWnd, IDC_VERSION) != nullptr;
    case Kind::MessageBox: return GetDlgItem(hWnd, 0xFFFF) != nullptr && !HasChild(hWnd, L"SysTabControl32");
    default: return false;
    }
}

BOOL CALLBACK FindKind(HWND hWnd, LPARAM param)
{
    Search* s = (Search*)param;
    DWORD pid = 0;
    GetWindowThreadProcessId(hWnd, &pid);
    if (pid == s->pid && IsWindowVisible(hWnd) && IsKind(hWnd, s->kind)) {
        s->found = hWnd;
        return FALSE;
    }
    return TRUE;
}

HWND FindNow(Kind kind, DWORD pid)
{
    Search s = {kind, pid ? pid : GetCurrentProcessId(), nullptr};
    EnumWindows(FindKind, (LPARAM)&s);
    return s.found;
}

BOOL CALLBACK CollectButton(HWND hWnd, LPARAM param)
{
    WCHAR cls[32];
    GetClassNameW(hWnd, cls, ARRAYSIZE(cls));
    if (!lstrcmpiW(cls, L"Button") && IsWindowVisible(hWnd))
        ((std::vector<int>*)param)->push_back(GetDlgCtrlID(hWnd));
    return TRUE;
}
}  // namespace

HWND CreateFrameWindow()
{
    WCHAR className[32];
    LoadStringW(g_hInst, IDS_WINDOW_CLASS, className, ARRAYSIZE(className));
    WNDCLASSEXW existing = {sizeof existing};
    if (!GetClassInfoExW(g_hInst, className, &existing))
        MyRegisterClass(g_hInst, IDS_WINDOW_CLASS, className);
    return CreateWindowExW(0, className, L"", 0, 0, 0, 0, 0, nullptr, nullptr, g_hInst, nullptr);
}

FrameWindowThread::FrameWindowThread()
{
    ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, Run, this, 0, &threadId_);
    WaitForSingleObject(ready_, 10000);
}

FrameWindowThread::~FrameWindowThread()
{
    PostThreadMessageW(threadId_, WM_APP_STOP, 0, 0);
    WaitForSingleObject(thread_, 10000);
    CloseHandle(thread_);
    CloseHandle(ready_);
}

DWORD WINAPI FrameWindowThread::Run(LPVOID param)
{
    FrameWindowThread* self = (FrameWindowThread*)param;
    self->hWnd_ = CreateFrameWindow();
    SetEvent(self->ready_);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (!msg.hwnd && msg.message == WM_APP_STOP) {
            DestroyWindow(self->hWnd_);
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}

std::wstring LoadRes(UINT id)
{
    WCHAR text[1024];
    int n = LoadStringW(g_hInst, id, text, ARRAYSIZE(text));
    return std::wstring(text, n > 0 ? n : 0);
}

std::wstring WindowText(HWND hWnd)
{
    WCHAR text[1024] = L"";
    GetWindowTextW(hWnd, text, ARRAYSIZE(text));
    return text;
}

std::wstring ControlText(HWND hDlg, int id)
{
    return WindowText(GetDlgItem(hDlg, id));
}

HWND WaitForWindow(Kind kind, DWORD pid, DWORD timeoutMs)
{
    for (DWORD waited = 0; waited < timeoutMs; waited += 20) {
        if (HWND found = FindNow(kind, pid))
            return found;
        Sleep(20);
    }
    return nullptr;
}

bool StaysAway(Kind kind, DWORD ms)
{
    return WaitForWindow(kind, 0, ms) == nullptr;
}

bool WaitGone(HWND hWnd, DWORD timeoutMs)
{
    for (DWORD waited = 0; waited < timeoutMs; waited += 20) {
        if (!IsWindow(hWnd) || !IsWindowVisible(hWnd))
            return true;
        Sleep(20);
    }
    return false;
}

std::wstring MessageBoxText(HWND box)
{
    return ControlText(box, 0xFFFF);
}

std::vector<int> ButtonIds(HWND dlg)
{
    std::vector<int> ids;
    EnumChildWindows(dlg, CollectButton, (LPARAM)&ids);
    return ids;
}

void Press(HWND dlg, int id)
{
    PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dlg, id));
}

void Dismiss(HWND box)
{
    std::vector<int> ids = ButtonIds(box);
    Press(box, ids.empty() ? IDOK : ids.front());
    EXPECT_TRUE(WaitGone(box));
}

HWND FocusOf(DWORD threadId)
{
    GUITHREADINFO info = {sizeof info};
    return GetGUIThreadInfo(threadId, &info) ? info.hwndFocus : nullptr;
}

// Every test of this executable runs as the module whose resources it holds.
static const bool s_moduleSet = (g_hInst = GetModuleHandleW(nullptr), g_ModuleKind = QV_FRAME_KIND, true);
