#include "app.h"
#include <process.h>
#include <errno.h>
#include <wchar.h>
#include <wtsapi32.h>
#include "drivers.h"
#include "elevate.h"
#include "frame.h"
#include "log.h"
#include "module.h"
#include "notify.h"
#include "raii.h"
#include "server.h"
#include "settings.h"
#include "status.h"
#include "watchbox.h"
#include "wtsio.h"

HANDLE g_hEvent[2] = {nullptr, nullptr};
HANDLE g_hMutex = nullptr;
HANDLE g_hThread = nullptr;
HWND g_hMainWnd = nullptr;
DWORD g_dwInterval = INTERVAL_DEFAULT * 1000;
int g_nUseTimer = 1;
DWORD g_dwSessionId = 0;

BOOL IsExitSet()
{
    return g_hEvent[EVENT_EXIT] && WaitForSingleObject(g_hEvent[EVENT_EXIT], 0) == WAIT_OBJECT_0;
}

BOOL WaitPreviousInstance(LPCWSTR cmdLine, DWORD* pid, DWORD timeoutMs)
{
    *pid = 0;
    if (!cmdLine || !*cmdLine)
        return TRUE;
    *pid = (DWORD)wcstol(cmdLine, nullptr, 10);
    UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, *pid));
    if (!process)
        return TRUE;   // already gone
    return WaitForSingleObject(process.get(), timeoutMs) != WAIT_TIMEOUT;
}

int ReadWatchInterval(LPCWSTR commonIni)
{
    int seconds = (int)GetPrivateProfileIntW(L"Server", L"Interval", INTERVAL_DEFAULT, commonIni);
    return seconds < INTERVAL_MIN || seconds > INTERVAL_MAX ? INTERVAL_DEFAULT : seconds;
}

void ReadUserProfile()
{
    LogScope scope(L"ReadUserProfile");
    g_szSection = L"Server";
    if (!LocateCommonIni(g_szCommonIni))
        throw (UINT)IDS_INIT_ERROR;
    g_dwInterval = (DWORD)ReadWatchInterval(g_szCommonIni) * 1000;
    g_nUseTimer = (int)GetPrivateProfileIntW(L"Server", L"UseTimer", 1, g_szCommonIni);
    g_nUseNotify = (int)GetPrivateProfileIntW(L"Server", L"UseNotify", 1, g_szCommonIni);
    if (!ReadTargetDriver(g_szCommonIni))
        throw (UINT)IDS_INIT_ERROR;
    if (!LocateSettingsFiles())
        throw (UINT)IDS_INIT_ERROR;
    LogStart(nullptr);
}

static void CreateInstanceMutex(LPCWSTR className)
{
    static const WCHAR F[] = L"OnInitInstance";
    WCHAR name[128];
    FormatStr(name, ARRAYSIZE(name), L"%s-%d", className, g_dwSessionId);
    g_hMutex = CreateMutexW(nullptr, FALSE, name);
    if (!g_hMutex) {
        LogPrintf(LOG_E, F, L",CreateMutex,%s,error %d", name, GetLastError());
        throw (UINT)IDS_INIT_ERROR;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        LogPrintf(LOG_E, F, L",%s,ERROR_ALREADY_EXISTS", name);
        throw (UINT)IDS_ALREADY_RUNNING;
    }
    LogPrintf(32, F, L",CreateMutex,%p", g_hMutex);
}

static void CreateEvents()
{
    static const WCHAR F[] = L"OnInitInstance";
    for (int i = 0; i < 2; i++) {
        g_hEvent[i] = CreateEventW(nullptr, i == EVENT_EXIT, FALSE, nullptr);
        if (!g_hEvent[i]) {
            LogPrintf(LOG_E, F, L",CreateEvent[%d],error %d", i, GetLastError());
            throw (UINT)IDS_INIT_ERROR;
        }
        LogPrintf(32, F, L",CreateEvent[%d],%p", i, g_hEvent[i]);
    }
}

void OnInitInstance(HINSTANCE hInst, LPCWSTR className)
{
    static const WCHAR F[] = L"OnInitInstance";
    LogScope scope(F);
    g_dwSessionId = WTS_GetSessinID();
    SetLogSession(g_dwSessionId);
    CreateInstanceMutex(className);
    DeleteLeftoverRequests();
    CreateEvents();
    // WM_CREATE runs inside this call: the icon and the watch thread exist when it returns.
    HWND hWnd = CreateWindowExW(0, className, L"", 0, 0, 0, 0, 0, nullptr, nullptr, hInst, nullptr);
    if (!hWnd) {
        LogPrintf(LOG_E, F, L",CreateWindow,error=%d", GetLastError());
        throw (UINT)IDS_INIT_ERROR;
    }
    LogPrintf(64, F, L",Done");
}

void ExitInstance()
{
    static const WCHAR F[] = L"ExitInstance";
    LogScope scope(F);
    for (int i = 0; i < 2; i++) {
        if (g_hEvent[i]) {
            LogPrintf(32, F, L",CloseHandle(event[%d]),%p", i, g_hEvent[i]);
            CloseHandle(g_hEvent[i]);
            g_hEvent[i] = nullptr;
        }
    }
    if (g_hMutex) {
        LogPrintf(32, F, L",CloseHandle(mutex),%p", g_hMutex);
        CloseHandle(g_hMutex);
        g_hMutex = nullptr;
    }
    LogPrintf(64, F, L",Done");
}

void SetIntervalTimer(HWND hWnd, BOOL on)
{
    static const WCHAR F[] = L"SetIntervalTimer";
    LogScope scope(F);
    if (on && g_nUseTimer) {
        LogPrintf(0, F, L",SetTimer,interval %d(msec)", g_dwInterval);
        SetTimer(hWnd, TIMER_ID, g_dwInterval, nullptr);
        return;
    }
    LogPrintf(0, F, L",KillTimer");
    KillTimer(hWnd, TIMER_ID);
    if (g_hEvent[EVENT_TIMER])
        ResetEvent(g_hEvent[EVENT_TIMER]);
}

// A connect or disconnect of this session starts the next pass at once
// instead of at the next beat: a new client is greeted while it is still
// redirecting its printers, and a closed one restarts the module.
void RegisterSessionChange(HWND hWnd, BOOL on)
{
    static const WCHAR F[] = L"RegisterSessionChange";
    static BOOL registered = FALSE;
    if (on && g_nUseNotify && !registered) {
        registered = WTSRegisterSessionNotification(hWnd, NOTIFY_FOR_THIS_SESSION);
        if (registered)
            LogPrintf(32, F, L",WTSRegisterSessionNotification,OK");
        else
            LogPrintf(LOG_W, F, L",WTSRegisterSessionNotification,error %d,interval %d(msec) only", GetLastError(),
                      g_dwInterval);
    } else if (!on && registered) {
        WTSUnRegisterSessionNotification(hWnd);
        registered = FALSE;
        LogPrintf(32, F, L",WTSUnRegisterSessionNotification");
    }
}

void OnSessionChange(HWND, WPARAM code, LPARAM session)
{
    static const WCHAR F[] = L"OnSessionChange";
    static const struct { WPARAM code; LPCWSTR name; } kWake[] = {
        {WTS_REMOTE_CONNECT, L"WTS_REMOTE_CONNECT"}, {WTS_REMOTE_DISCONNECT, L"WTS_REMOTE_DISCONNECT"},
        {WTS_CONSOLE_CONNECT, L"WTS_CONSOLE_CONNECT"}, {WTS_CONSOLE_DISCONNECT, L"WTS_CONSOLE_DISCONNECT"}};
    for (const auto& w : kWake) {
        if (w.code == code) {
            LogPrintf(64, F, L",%s,session %d", w.name, (int)session);
            if (g_hEvent[EVENT_TIMER])
                SetEvent(g_hEvent[EVENT_TIMER]);
            return;
        }
    }
    LogPrintf(32, F, L",%d,session %d", (int)code, (int)session);
}

void OnCreate(HWND hWnd)
{
    static const WCHAR F[] = L"OnCreate";
    LogScope scope(F);
    g_hMainWnd = hWnd;
    // Before the watch thread: its first pass already posts to the window.
    CreateStatusDialog(g_hInst);
    g_hThread = (HANDLE)_beginthreadex(nullptr, 0, WatchEnvProc, nullptr, 0, nullptr);
    if (g_hThread) {
        LogPrintf(32, F, L",_beginthreadex,thread %p", g_hThread);
    } else {
        LogPrintf(LOG_E, F, L",_beginthreadex,error %d", errno);
        MessageBoxID(hWnd, IDS_INIT_ERROR, MB_ICONEXCLAMATION);
        PostMessageW(hWnd, WM_CLOSE, 0, 0);
    }
    SetIntervalTimer(hWnd, TRUE);
    RegisterSessionChange(hWnd, TRUE);
}

// Waits for the watch thread while still answering messages that other
// threads send to our windows, so that a watch thread talking to the main
// window synchronously cannot deadlock the end. A thread stuck past the
// limit (a spooler or channel call that never returns) does not hold the
// end of the session: the process ends with it still running.
static void WaitForWatchThread(LPCWSTR F)
{
    LogPrintf(32, F, L",WaitForSingleObject,thread %p,...", g_hThread);
    DWORD start = GetTickCount(), r;
    for (;;) {
        DWORD spent = GetTickCount() - start;
        DWORD left = spent < WATCH_THREAD_WAIT ? WATCH_THREAD_WAIT - spent : 0;
        r = MsgWaitForMultipleObjects(1, &g_hThread, FALSE, left, QS_SENDMESSAGE);
        if (r != WAIT_OBJECT_0 + 1)
            break;
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    if (r == WAIT_OBJECT_0)
        LogPrintf(32, F, L",WaitForSingleObject,thread %p,done", g_hThread);
    else
        LogPrintf(LOG_E, F, L",WaitForSingleObject,thread %p,not ended after %d(msec),ending without it", g_hThread,
                  WATCH_THREAD_WAIT);
    LogPrintf(64, F, L",CloseHandle,thread %p", g_hThread);
    CloseHandle(g_hThread);
    g_hThread = nullptr;
    if (r != WAIT_OBJECT_0) {
        // The thread may still hold the log, the events and the spooler's
        // handles; nothing below may wait for it or free what it uses.
        LogEnd();
        TerminateProcess(GetCurrentProcess(), 1);
    }
}

void OnClose(HWND hWnd, BOOL endSession)
{
    LPCWSTR F = endSession ? L"WM_QUERYENDSESSION" : L"OnClose";
    LogScope scope(F);
    // A WM_CLOSE from outside may arrive while the thread still runs: tell it
    // to stop before waiting, in both modes, or the wait would never end.
    if (g_hThread && g_hEvent[EVENT_EXIT]) {
        SetEvent(g_hEvent[EVENT_EXIT]);
        NotifyIcon(NI_STOPPING);
        EndWatchMessageBoxes();
    }
    SetIntervalTimer(hWnd, FALSE);
    RegisterSessionChange(hWnd, FALSE);
    if (g_hThread)
        WaitForWatchThread(F);
    DestroyStatusWindow();   // nothing posts to it any more
    if (endSession) {
        ExitInstance();
        return;
    }
    LogPrintf(32, F, L",DestroyWindow");
    DestroyWindow(hWnd);
}

static void RestartServer()
{
    static const WCHAR F[] = L"OnCommand";
    LogPrintf(LOG_W, F, L",restart Server Module");
    WCHAR path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        LogPrintf(LOG_E, F, L",GetModuleFileName,error %d", n ? ERROR_INSUFFICIENT_BUFFER : GetLastError());
        return;
    }
    // Quoted: a program folder with blanks (C:\Program Files\...) would
    // otherwise be split, and the new instance would not find our process id.
    WCHAR cmd[MAX_PATH + 16];
    FormatStr(cmd, ARRAYSIZE(cmd), L"\"%s\" %d", path, GetCurrentProcessId());
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, cmd, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr, &si, &pi)) {
        LogPrintf(LOG_E, F, L",CreateProcess,error %d", GetLastError());
        return;
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    SetEvent(g_hEvent[EVENT_EXIT]);
    EndWatchMessageBoxes();
}

BOOL OnCommand(HWND hWnd, WPARAM wParam)
{
    static const WCHAR F[] = L"OnCommand";
    LogScope scope(F);
    switch (LOWORD(wParam)) {
    case IDM_EXIT:
        if (MessageBoxID(hWnd, IDS_EXIT_CONFIRM, MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES) {
            LogPrintf(128, F, L"IDM_EXIT,SetEvent,%p", g_hEvent[EVENT_EXIT]);
            SetEvent(g_hEvent[EVENT_EXIT]);
            NotifyIcon(NI_STOPPING);
            EndWatchMessageBoxes();
        }
        break;
    case IDM_RESTART:
        RestartServer();
        break;
    case IDM_STATUS:
        ShowStatusWindow();
        break;
    default:
        break;
    }
    return TRUE;
}

void OnTimer(HWND)
{
    if (g_hEvent[EVENT_TIMER])
        SetEvent(g_hEvent[EVENT_TIMER]);
}

void InstallFrameHooks()
{
    g_FrameHooks.OnCreate = OnCreate;
    g_FrameHooks.OnClose = OnClose;
    g_FrameHooks.OnCommand = [](HWND hWnd, UINT id) -> BOOL { return OnCommand(hWnd, (WPARAM)id); };
    g_FrameHooks.OnTimer = OnTimer;
    g_FrameHooks.OnSessionChange = OnSessionChange;
}

static int MessageLoop()
{
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (g_hStatusWnd && IsDialogMessageW(g_hStatusWnd, &msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return (int)msg.wParam;
}

// The last resort for a structured exception that no code here can catch
// (mingw C++ has no __try): the user is told before the module goes.
static LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* info)
{
    DWORD code = info && info->ExceptionRecord ? info->ExceptionRecord->ExceptionCode : 0;
    LogPrintf(LOG_E, L"wWinMain", L",unhandled exception,%08X", code);
    CriticalMessage(IDS_FATAL);
    LogEnd();
    return EXCEPTION_EXECUTE_HANDLER;
}

int RunServer(HINSTANCE hInst, LPCWSTR cmdLine)
{
    SetUnhandledExceptionFilter(OnUnhandledException);
    static const WCHAR F[] = L"wWinMain";
    g_hInst = hInst;
    g_ModuleKind = MODULE_SERVER;
    int result = 0;
    DWORD previous = 0;
    const DWORD waitMs = PreviousInstanceWait();
    BOOL previousEnded = WaitPreviousInstance(cmdLine, &previous, waitMs);
    try {
        ReadUserProfile();
        if (previous && previousEnded)
            LogPrintf(64, F, L",previous instance %d,gone", previous);
        if (!previousEnded) {
            // Nobody asked for this start but the old instance: no box, only the log.
            LogPrintf(LOG_W, F, L",previous instance %d,still running after %d msec,give up", previous,
                      waitMs);
        } else {
            WCHAR className[32];
            if (!LoadStringW(hInst, IDS_WINDOW_CLASS, className, ARRAYSIZE(className)))
                throw (UINT)IDS_INIT_ERROR;
            InstallFrameHooks();
            MyRegisterClass(hInst, IDS_WINDOW_CLASS, className);
            OnInitInstance(hInst, className);
            result = MessageLoop();
        }
    } catch (UINT id) {
        CriticalMessage(id);
    } catch (...) {
        CriticalMessage(IDS_FATAL);
    }
    ExitInstance();
    LogEnd();
    return result;
}
