#include "watchbox.h"
#include "frame.h"
#include "log.h"
#include "module.h"
#include "raii.h"
#include "server.h"

namespace {

// The box being shown. The hook sees the box's window appear and checks the
// exit event under the same lock that EndWatchMessageBoxes takes after the
// event was set, so an exit request that comes between the check before
// MessageBoxW and the window's creation still ends the box.
struct BoxState {
    CRITICAL_SECTION cs;
    HWND box = nullptr;
    BoxState() { InitializeCriticalSection(&cs); }
};

BoxState& S()
{
    static BoxState s;
    return s;
}

void Dismiss(HWND box)
{
    // A question has a No button; every other box here has only OK.
    WPARAM answer = GetDlgItem(box, IDNO) ? IDNO : IDOK;
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), 0);
}

LRESULT CALLBACK BoxHook(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_ACTIVATE) {
        HWND wnd = (HWND)wParam;
        WCHAR cls[16];
        if (GetClassNameW(wnd, cls, ARRAYSIZE(cls)) && lstrcmpW(cls, L"#32770") == 0) {
            CritSecLock lock(&S().cs);
            S().box = wnd;
            if (IsExitSet())
                Dismiss(wnd);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

struct HookOwner {
    HHOOK hook = SetWindowsHookExW(WH_CBT, BoxHook, nullptr, GetCurrentThreadId());
    ~HookOwner() { if (hook) UnhookWindowsHookEx(hook); }
};

int NegativeAnswer(UINT style)
{
    return (style & MB_ICONMASK) == MB_ICONQUESTION ? IDNO : IDOK;
}

}  // namespace

int WatchMessageBox(LPCWSTR text, UINT style)
{
    if (IsExitSet()) {
        LogPrintf(64, L"WatchMessageBox", L",exit,%s", text);
        return NegativeAnswer(style);
    }
    HookOwner hook;
    int answer = MessageBoxStr(g_hMainWnd, text, style);
    CritSecLock lock(&S().cs);
    S().box = nullptr;
    return answer ? answer : NegativeAnswer(style);
}

int WatchMessageBoxID(UINT id, UINT style)
{
    WCHAR text[512];
    if (!LoadStringW(g_hInst, id, text, ARRAYSIZE(text)))
        text[0] = 0;
    return WatchMessageBox(text, style);
}

void EndWatchMessageBoxes()
{
    CritSecLock lock(&S().cs);
    if (S().box)
        Dismiss(S().box);
}
