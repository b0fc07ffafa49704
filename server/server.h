// Process-wide state of the server module, shared by the main (window)
// thread and the watch thread. Everything except the events' signalled state
// is written on the main thread before the window exists and only read later.
#pragma once
#include <windows.h>

#define EVENT_EXIT  0   // manual-reset: stop the watch thread
#define EVENT_TIMER 1   // auto-reset: start the next pass
#define TIMER_ID    1

#define INTERVAL_DEFAULT 30
#define INTERVAL_MIN     5
#define INTERVAL_MAX     0x7FFF
#define PREVIOUS_INSTANCE_WAIT 60000
#define WATCH_THREAD_WAIT      10000   // the end waits this long for the watch thread

#include "resource.h"   // the messages: start-up failures are thrown as their ids

extern HANDLE g_hEvent[2];
extern HANDLE g_hMutex;
extern HANDLE g_hThread;
extern HWND g_hMainWnd;
extern DWORD g_dwInterval;     // milliseconds
extern int g_nUseTimer;
extern DWORD g_dwSessionId;

// True when the exit event is signalled (polled, never waited on).
BOOL IsExitSet();
