// Quorvane_Svc.exe: started by the service control manager only. There is
// no console or debug mode: the program's one behaviour is the service's.
#include "service.h"
#include "log.h"
#include "raii.h"
#include "resource.h"

namespace {

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
HANDLE g_stop = nullptr;

void ReportStatus(DWORD state, DWORD exitCode, DWORD waitHint)
{
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = exitCode;
    status.dwWaitHint = waitHint;
    SetServiceStatus(g_statusHandle, &status);
}

DWORD WINAPI ControlHandler(DWORD control, DWORD, LPVOID, LPVOID)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        LogPrintf(32, L"ControlHandler", L",stop,%d", control);
        ReportStatus(SERVICE_STOP_PENDING, 0, SVC_STOP_WAIT_MS + 1000);
        SetEvent(g_stop);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    }
    return ERROR_CALL_NOT_IMPLEMENTED;
}

// The installer can only give an ASCII display name: the service's own
// Japanese name and description replace it.
void DescribeService()
{
    WCHAR name[256], description[512];
    HINSTANCE self = GetModuleHandleW(nullptr);
    if (!LoadStringW(self, IDS_SERVICE_DISPLAY_NAME, name, ARRAYSIZE(name))
        || !LoadStringW(self, IDS_SERVICE_DESCRIPTION, description, ARRAYSIZE(description)))
        return;
    UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueService service(manager ? OpenServiceW(manager.get(), REG_SERVICE_NAME, SERVICE_CHANGE_CONFIG) : nullptr);
    SERVICE_DESCRIPTIONW text = {description};
    if (!service
        || !ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr,
                                 nullptr, nullptr, nullptr, nullptr, nullptr, name)
        || !ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &text))
        LogPrintf(LOG_W, L"DescribeService", L",ChangeServiceConfig,error %d", GetLastError());
}

void WINAPI ServiceMain(DWORD, LPWSTR*)
{
    g_statusHandle = RegisterServiceCtrlHandlerExW(REG_SERVICE_NAME, ControlHandler, nullptr);
    if (!g_statusHandle)
        return;
    UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stop) {
        ReportStatus(SERVICE_STOPPED, GetLastError(), 0);
        return;
    }
    g_stop = stop.get();
    StartServiceLog();
    LogPrintf(64, L"ServiceMain", L",start");
    DescribeService();
    ReportStatus(SERVICE_RUNNING, 0, 0);
    DWORD result = RunPipeServer(g_stop);
    LogPrintf(64, L"ServiceMain", L",end,%d", result);
    LogEnd();
    ReportStatus(SERVICE_STOPPED, result, 0);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    static WCHAR name[] = REG_SERVICE_NAME;
    SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table))
        return (int)GetLastError();
    return 0;
}
