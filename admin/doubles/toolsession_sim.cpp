// The tool in a simulated Remote Desktop session (demo and tests only): its
// session is [Session] Id of the simulation file named by QVSIM (or by
// QV_SIM_SPOOLER, a test's), as the server module's and the service's
// simulation builds see it; without one, the process's own.
#include "admin.h"

BOOL GetToolSession(DWORD* session)
{
    WCHAR ini[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"QVSIM", ini, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        n = GetEnvironmentVariableW(L"QV_SIM_SPOOLER", ini, MAX_PATH);
    if (n == 0 || n >= MAX_PATH || !GetPrivateProfileIntW(L"Session", L"Id", 0, ini))
        return ProcessIdToSessionId(GetCurrentProcessId(), session);
    *session = GetPrivateProfileIntW(L"Session", L"Id", 0, ini);
    return TRUE;
}
