// Test builds only: a worker that dies in the middle of its registry writes,
// as when the tool is killed mid-import. QV_CRASH_AFTER_WRITES=N lets N value
// writes through and ends the process, with exit code QV_CRASH_EXIT_CODE,
// instead of the next one; QV_CRASH_IN_COPY ends it right after a tree copy,
// before the copy gets its final name.
#define _ADVAPI32_
#include <windows.h>
#include <stdlib.h>
#include "crash_double.h"

// A build of another program names its own variable, so that the tool it
// starts does not die at the same count.
#ifndef QV_CRASH_AFTER_WRITES_VAR
#define QV_CRASH_AFTER_WRITES_VAR "QV_CRASH_AFTER_WRITES"
#endif

static LONG EnvCount(LPCSTR name)
{
    char text[16];
    DWORD n = GetEnvironmentVariableA(name, text, sizeof text);
    return n && n < sizeof text ? atol(text) : -1;
}

template <typename Fn>
static Fn Real(LPCSTR name)
{
    return (Fn)(void*)GetProcAddress(GetModuleHandleW(L"advapi32.dll"), name);
}

static void Die()
{
    TerminateProcess(GetCurrentProcess(), QV_CRASH_EXIT_CODE);
}

extern "C" LSTATUS WINAPI RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type,
                                         const BYTE* data, DWORD size)
{
    static LONG writes = 0;
    LONG limit = EnvCount(QV_CRASH_AFTER_WRITES_VAR);
    if (limit >= 0 && writes++ >= limit)
        Die();
    typedef LSTATUS (WINAPI *Fn)(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD);
    static Fn real = Real<Fn>("RegSetValueExW");
    return real(key, name, reserved, type, data, size);
}

extern "C" LSTATUS WINAPI RegCopyTreeW(HKEY from, LPCWSTR subkey, HKEY to)
{
    typedef LSTATUS (WINAPI *Fn)(HKEY, LPCWSTR, HKEY);
    static Fn real = Real<Fn>("RegCopyTreeW");
    LSTATUS status = real(from, subkey, to);
    if (EnvCount("QV_CRASH_IN_COPY") >= 0)
        Die();
    return status;
}

extern "C" {
void* __imp_RegSetValueExW = (void*)&RegSetValueExW;
void* __imp_RegCopyTreeW = (void*)&RegCopyTreeW;
}
