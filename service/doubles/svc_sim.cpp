// The service in a simulated Remote Desktop session (demo and tests only):
// the serving loop without the service control manager, until the named
// event SVC_SIM_STOP_EVENT is set; the spooler is the double (its printers
// from the simulation file named by QVSIM) and a pipe client's session is
// the simulated session's, [Session] Id of that file.
#include "service.h"
#include "log.h"
#include "raii.h"
#include "svc_sim.h"

BOOL GetPipeClientSession(HANDLE, ULONG* session)
{
    WCHAR ini[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"QVSIM", ini, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    *session = GetPrivateProfileIntW(L"Session", L"Id", 0, ini);
    return TRUE;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, SVC_SIM_STOP_EVENT));
    if (!stop)
        return (int)GetLastError();
    StartServiceLog();
    LogPrintf(64, L"ServiceMain", L",start");
    DWORD result = RunPipeServer(stop.get());
    LogPrintf(64, L"ServiceMain", L",end,%d", result);
    LogEnd();
    return (int)result;
}
