#include "shell_double.h"
#include <shellapi.h>

namespace {
CRITICAL_SECTION s_cs;

BOOL CALLBACK InitLock(PINIT_ONCE, PVOID, PVOID*)
{
    InitializeCriticalSection(&s_cs);
    return TRUE;
}

CRITICAL_SECTION* Lock()
{
    static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    InitOnceExecuteOnce(&once, InitLock, nullptr, nullptr);
    return &s_cs;
}

std::vector<ShellCall>& Calls()
{
    static std::vector<ShellCall> calls;
    return calls;
}

typedef BOOL(WINAPI* ShellNotifyFn)(DWORD, PNOTIFYICONDATAW);

BOOL WINAPI RecordShellNotifyIcon(DWORD message, PNOTIFYICONDATAW data)
{
    ShellCall call = {message, data->hWnd, data->uFlags, data->hIcon, L""};
    if (data->uFlags & NIF_TIP)
        call.tip.assign(data->szTip, wcsnlen(data->szTip, ARRAYSIZE(data->szTip)));
    EnterCriticalSection(Lock());
    Calls().push_back(call);
    LeaveCriticalSection(Lock());
    static ShellNotifyFn real = (ShellNotifyFn)(void*)GetProcAddress(LoadLibraryW(L"shell32.dll"), "Shell_NotifyIconW");
    return real ? real(message, data) : FALSE;
}
}  // namespace

// The frame calls Shell_NotifyIconW through its import pointer; defining the
// pointer here makes the linker take it instead of the import library's.
#ifdef _WIN64
extern "C" void* qv_imp_Shell_NotifyIconW __asm__("__imp_Shell_NotifyIconW");
#else
extern "C" void* qv_imp_Shell_NotifyIconW __asm__("__imp__Shell_NotifyIconW@8");
#endif
void* qv_imp_Shell_NotifyIconW = (void*)RecordShellNotifyIcon;

std::vector<ShellCall> ShellCalls()
{
    EnterCriticalSection(Lock());
    std::vector<ShellCall> copy = Calls();
    LeaveCriticalSection(Lock());
    return copy;
}

void ClearShellCalls()
{
    EnterCriticalSection(Lock());
    Calls().clear();
    LeaveCriticalSection(Lock());
}
