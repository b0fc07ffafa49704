// Instance life of the add-in: library attach and detach, the start-up that
// the channel entry runs first, and the hidden tray window.
#include "client.h"
#include "frame.h"
#include "log.h"
#include "module.h"
#include "settings.h"

static HWND g_hWnd;   // the hidden tray window, created on the thread that called the entry

HWND GetClientWindow()
{
    return g_hWnd;
}

BOOL AppException()
{
    LogScope scope(L"AppException", 32);
    BOOL flag = IsUnrecoverable();
    LogPrintf(32, L"AppException", L",%d", flag);
    return flag;
}

void OnInitInstance()
{
    static const LPCWSTR FN = L"OnInitInstance";
    // Without a user name or the per-user folder there is no log yet either.
    if (!LocateSettingsFiles())
        throw (UINT)IDS_INIT_ERROR;
    LogStart(L"");
    LogScope scope(FN);
    CaptureOwnSigner();

    WCHAR className[32] = L"";
    LoadStringW(g_hInst, IDS_WINDOW_CLASS, className, ARRAYSIZE(className));
    MyRegisterClass(g_hInst, IDS_WINDOW_CLASS, className);
    g_hWnd = CreateWindowExW(0, className, L"", 0, 0, 0, 0, 0, nullptr, nullptr, g_hInst, nullptr);
    if (!g_hWnd) {
        LogPrintf(LOG_E, FN, L",CreateWindow,error=%d", GetLastError());
        throw (UINT)IDS_INIT_ERROR;
    }
    LogPrintf(64, FN, L",Done");
}

// The library may be unloaded from a thread other than the one that owns the
// window. DestroyWindow cannot be called there, and the window must not
// outlive the library's code: its procedure is switched to the system's
// default, the icon deleted from here, and the owning thread told to destroy
// the now inert window when it next reads its messages.
static void RetireForeignWindow(HWND hWnd)
{
    SetWindowLongPtrW(hWnd, GWLP_WNDPROC, (LONG_PTR)DefWindowProcW);
    if (GetNotifyState().flags & NS_STARTED)
        EndNotifyIcon();
    PostMessageW(hWnd, WM_CLOSE, 0, 0);
}

void ExitInstance()
{
    static const LPCWSTR FN = L"ExitInstance";
    LogPrintf(LOG_TAG_ENTRY | 64, FN, L"");
    HWND hWnd = g_hWnd;
    g_hWnd = nullptr;
    if (hWnd && IsWindow(hWnd)) {
        LogPrintf(32, FN, L",DestroyWindow,%p", hWnd);
        if (GetWindowThreadProcessId(hWnd, nullptr) == GetCurrentThreadId()) {
            DestroyWindow(hWnd);
            // A class left behind would point at this library's code after
            // it is unloaded, and a later load could not register it again.
            WCHAR className[32] = L"";
            if (LoadStringW(g_hInst, IDS_WINDOW_CLASS, className, ARRAYSIZE(className)))
                UnregisterClassW(className, g_hInst);
        } else {
            LogPrintf(32, FN, L",other thread,%d", GetWindowThreadProcessId(hWnd, nullptr));
            RetireForeignWindow(hWnd);
        }
    }
    // The owning thread may have ended without the window's WM_DESTROY
    // reaching the frame; the icon is removed all the same.
    if (GetNotifyState().flags & NS_STARTED)
        EndNotifyIcon();
    LogPrintf(128, FN, L",Done");
    LogPrintf(LOG_TAG_EXIT | 64, FN, L"");
}

// The receive message lives as long as the library.
static void CreateReceiveMessage()
{
    if (!g_pRecvData)
        g_pRecvData = new CRdpData();
}

static void DestroyReceiveMessage()
{
    delete g_pRecvData;
    g_pRecvData = nullptr;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD reason, LPVOID)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        g_hInst = hInstance;
        g_ModuleKind = MODULE_CLIENT;
        g_szSection = L"Client";
        DisableThreadLibraryCalls(hInstance);
        try {
            CreateReceiveMessage();
        } catch (...) {
            return FALSE;
        }
        break;
    case DLL_PROCESS_DETACH:
        ExitInstance();
        LogEnd();
        DestroyReceiveMessage();
        break;
    }
    return TRUE;
}
