// Stands in for CreateProcessWithLogonW, which Wine implements as a stub that
// always fails. Declared here without dllimport so that this definition wins
// over the import library; the __imp_ pointer serves the callers compiled
// against the dllimport declaration.
#define _ADVAPI32_
#include "logon_double.h"
#include <wchar.h>

static LogonDoubleTrace g_trace;

void SetLogonDoubleAccount(LPCWSTR user, LPCWSTR secret)
{
    SetEnvironmentVariableW(LOGON_DOUBLE_USER_VAR, user);
    SetEnvironmentVariableW(LOGON_DOUBLE_SECRET_VAR, user ? (secret ? secret : L"") : nullptr);
}

const LogonDoubleTrace* GetLogonDoubleTrace()
{
    return &g_trace;
}

static BOOL AccountMatches(LPCWSTR user, LPCWSTR secret)
{
    WCHAR expectedUser[256], expectedSecret[256];
    if (!GetEnvironmentVariableW(LOGON_DOUBLE_USER_VAR, expectedUser, ARRAYSIZE(expectedUser)))
        return FALSE;
    DWORD n = GetEnvironmentVariableW(LOGON_DOUBLE_SECRET_VAR, expectedSecret, ARRAYSIZE(expectedSecret));
    if (n == 0)
        expectedSecret[0] = 0;
    // Account names compare without case, secrets exactly, as a logon does.
    return user && _wcsicmp(user, expectedUser) == 0 && wcscmp(secret ? secret : L"", expectedSecret) == 0;
}

extern "C" BOOL WINAPI CreateProcessWithLogonW(LPCWSTR lpUsername, LPCWSTR lpDomain, LPCWSTR lpPassword,
    DWORD dwLogonFlags, LPCWSTR lpApplicationName, LPWSTR lpCommandLine, DWORD dwCreationFlags,
    LPVOID lpEnvironment, LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW lpStartupInfo,
    LPPROCESS_INFORMATION lpProcessInformation)
{
    (void)lpDomain;
    (void)dwLogonFlags;
    InterlockedIncrement(&g_trace.calls);
    g_trace.creationFlags = dwCreationFlags;
    lstrcpynW(g_trace.commandLine, lpCommandLine ? lpCommandLine : L"", ARRAYSIZE(g_trace.commandLine));
    // The caller killed at the moment it starts the tool, its request written.
    if (GetEnvironmentVariableW(LOGON_DOUBLE_DIE_VAR, nullptr, 0))
        TerminateProcess(GetCurrentProcess(), LOGON_DOUBLE_DIE_CODE);
    if (!AccountMatches(lpUsername, lpPassword)) {
        SetLastError(ERROR_LOGON_FAILURE);
        return FALSE;
    }
    return CreateProcessW(lpApplicationName, lpCommandLine, nullptr, nullptr, FALSE, dwCreationFlags,
                          lpEnvironment, lpCurrentDirectory, lpStartupInfo, lpProcessInformation);
}

extern "C" {
void* __imp_CreateProcessWithLogonW = (void*)&CreateProcessWithLogonW;
}
