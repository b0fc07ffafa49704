#include "app.h"
#include "frame.h"
#include "log.h"
#include "server.h"

unsigned __stdcall WatchEnvProc(void*)
{
    static const WCHAR F[] = L"WatchEnvProc";
    LogPrintf(LOG_TAG_ENTRY | 128, F, L"");
    for (;;) {
        NotifyIcon(NI_ACTIVE);
        DWORD begin = GetTickCount();
        LogPrintf(32, F, L"%d,LOOP BEGIN", begin);
        LogPrintf(32, F, L"%d,LOOP END,%d(msec)", begin, GetTickCount() - begin);
        LogPrintf(32, F, L",WaitForMultipleObjects,\x2026");
        DWORD r = WaitForMultipleObjects(2, g_hEvent, FALSE, g_dwInterval);
        if (r == WAIT_OBJECT_0 + EVENT_TIMER || r == WAIT_TIMEOUT)
            continue;
        if (r == WAIT_OBJECT_0 + EVENT_EXIT)
            LogPrintf(32, F, L",WaitForMultipleObjects(exit),Done");
        else
            LogPrintf(LOG_E, F, L",WaitForMultipleObjects,error %d", r);
        break;
    }
    PostMessageW(g_hMainWnd, WM_CLOSE, 0, 0);
    LogPrintf(LOG_TAG_EXIT | 128, F, L"");
    return 0;
}
