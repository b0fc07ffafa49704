// Logon double for test builds: the account it accepts comes from the
// environment of the calling process (inherited by the processes it starts),
// so that concurrent test processes never share it.
#pragma once
#include <windows.h>

#define LOGON_DOUBLE_USER_VAR   L"QV_LOGON_DOUBLE_USER"
#define LOGON_DOUBLE_SECRET_VAR L"QV_LOGON_DOUBLE_SECRET"
// Set: the calling process ends (with this code) when it starts the tool.
#define LOGON_DOUBLE_DIE_VAR    L"QV_LOGON_DOUBLE_DIE"
#define LOGON_DOUBLE_DIE_CODE   0xC0DF

// Accept user/secret from now on (NULL user: refuse every logon).
void SetLogonDoubleAccount(LPCWSTR user, LPCWSTR secret);
// Calls seen by this process and the last creation flags and command line.
struct LogonDoubleTrace {
    LONG calls;
    DWORD creationFlags;
    WCHAR commandLine[1024];
};
const LogonDoubleTrace* GetLogonDoubleTrace();
