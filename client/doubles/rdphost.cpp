// Remote Desktop client host double: loads the add-in library from disk and
// drives it as the Remote Desktop client does, with the server's side of the
// channel on the far end of a loopback link (common/doubles/simlink.h).
//
//   qv_rdphost.exe <library path> <link port> [options]
//     --fail-write N     the N-th pVirtualChannelWrite fails (counted from 1)
//     --cancel-writes    completions are held back and cancelled at disconnect
//     --complete-inside  write-complete is delivered from inside pVirtualChannelWrite
//     --unload-thread    the library is freed from a thread other than the one that loaded it
//     --fail-window      the add-in's hidden window cannot be created, and every
//                        message box it shows is answered with OK
//
// Exit codes: 0 done, 2 usage, 3 library not loaded, 4 no VirtualChannelEntry,
// 5 link not connected, 6 a window of the add-in outlived the library;
// with --fail-window, 10 + the number of message boxes answered.
#include "simlink.h"
#include <cchannel.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vector>

struct HostOptions {
    int failWrite = 0;
    bool cancelWrites = false;
    bool completeInside = false;
    bool unloadThread = false;
    bool failWindow = false;
};

static HostOptions g_opt;
static SOCKET g_link = INVALID_SOCKET;
static DWORD g_mainThread;
static bool g_inEntry;
static int g_initHandleCookie;
static PCHANNEL_INIT_EVENT_FN g_initProc;
static char g_channelName[CHANNEL_NAME_LEN + 1];
static PCHANNEL_OPEN_EVENT_FN g_openProc;
static DWORD g_openHandle;       // 0 while the channel is not open
static DWORD g_nextOpenHandle = 0x51;
static bool g_connected;
static int g_writes;
static std::vector<LPVOID> g_pending;   // user data of writes not yet completed
static LONG g_boxes;                    // message boxes answered under --fail-window

static void Note(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    fprintf(stderr, "rdphost: ");
    vfprintf(stderr, fmt, args);
    fprintf(stderr, "\n");
    va_end(args);
}

static UINT VCAPITYPE HostChannelInit(LPVOID* ppInitHandle, PCHANNEL_DEF pChannel, INT channelCount,
                                      ULONG, PCHANNEL_INIT_EVENT_FN initProc)
{
    if (!g_inEntry)
        return CHANNEL_RC_NOT_IN_VIRTUALCHANNELENTRY;
    if (g_initProc)
        return CHANNEL_RC_ALREADY_INITIALIZED;
    if (!ppInitHandle || !pChannel || !initProc)
        return CHANNEL_RC_NULL_DATA;
    if (channelCount != 1)
        return CHANNEL_RC_TOO_MANY_CHANNELS;
    memcpy(g_channelName, pChannel->name, CHANNEL_NAME_LEN);
    g_channelName[CHANNEL_NAME_LEN] = 0;
    g_initProc = initProc;
    *ppInitHandle = &g_initHandleCookie;
    return CHANNEL_RC_OK;
}

static UINT VCAPITYPE HostChannelOpen(LPVOID pInitHandle, LPDWORD pOpenHandle, PCHAR pChannelName,
                                      PCHANNEL_OPEN_EVENT_FN openProc)
{
    if (pInitHandle != &g_initHandleCookie)
        return CHANNEL_RC_BAD_INIT_HANDLE;
    if (!pOpenHandle || !pChannelName || !openProc)
        return CHANNEL_RC_NULL_DATA;
    if (!g_connected)
        return CHANNEL_RC_NOT_CONNECTED;
    if (strncmp(pChannelName, g_channelName, CHANNEL_NAME_LEN) != 0)
        return CHANNEL_RC_UNKNOWN_CHANNEL_NAME;
    if (g_openHandle)
        return CHANNEL_RC_ALREADY_OPEN;
    g_openProc = openProc;
    g_openHandle = g_nextOpenHandle++;
    *pOpenHandle = g_openHandle;
    return CHANNEL_RC_OK;
}

static UINT VCAPITYPE HostChannelClose(DWORD openHandle)
{
    if (!g_openHandle || openHandle != g_openHandle)
        return CHANNEL_RC_BAD_CHANNEL_HANDLE;
    g_openHandle = 0;
    return CHANNEL_RC_OK;
}

static void CompleteWrite(LPVOID userData, UINT event)
{
    if (g_openProc)
        g_openProc(g_openHandle, event, userData, 0, 0, 0);
}

static UINT VCAPITYPE HostChannelWrite(DWORD openHandle, LPVOID pData, ULONG dataLength, LPVOID pUserData)
{
    if (!g_openHandle || openHandle != g_openHandle)
        return CHANNEL_RC_BAD_CHANNEL_HANDLE;
    if (!pData)
        return CHANNEL_RC_NULL_DATA;
    if (dataLength == 0)
        return CHANNEL_RC_ZERO_LENGTH;
    if (++g_writes == g_opt.failWrite) {
        Note("write %d refused", g_writes);
        return CHANNEL_RC_NOT_CONNECTED;
    }
    if (!SimLinkSend(g_link, SIMLINK_CLIENT_WRITE, pData, dataLength))
        return CHANNEL_RC_NOT_CONNECTED;
    if (g_opt.completeInside)
        CompleteWrite(pUserData, CHANNEL_EVENT_WRITE_COMPLETE);
    else
        g_pending.push_back(pUserData);
    return CHANNEL_RC_OK;
}

static void FlushCompletions(UINT event)
{
    while (!g_pending.empty()) {
        LPVOID userData = g_pending.front();
        g_pending.erase(g_pending.begin());
        CompleteWrite(userData, event);
    }
}

// One server write reaches the add-in as chunks of at most 1600 bytes, each
// with the write's total length; completions of earlier writes come between.
static void DeliverServerWrite(const std::vector<BYTE>& bytes)
{
    if (!g_openHandle || !g_openProc || bytes.empty())
        return;
    UINT32 total = (UINT32)bytes.size();
    for (UINT32 done = 0; done < total;) {
        UINT32 n = total - done < CHANNEL_CHUNK_LENGTH ? total - done : CHANNEL_CHUNK_LENGTH;
        UINT32 flags = (done == 0 ? CHANNEL_FLAG_FIRST : 0) | (done + n == total ? CHANNEL_FLAG_LAST : 0);
        g_openProc(g_openHandle, CHANNEL_EVENT_DATA_RECEIVED, (LPVOID)(bytes.data() + done), n, total, flags);
        done += n;
        if (!g_opt.cancelWrites)
            FlushCompletions(CHANNEL_EVENT_WRITE_COMPLETE);
    }
}

static void Disconnect()
{
    if (!g_connected)
        return;
    FlushCompletions(CHANNEL_EVENT_WRITE_CANCELLED);
    g_connected = false;
    if (g_initProc)
        g_initProc(&g_initHandleCookie, CHANNEL_EVENT_DISCONNECTED, nullptr, 0);
    g_openProc = nullptr;
}

static void Connect(const std::vector<BYTE>& name)
{
    Disconnect();
    std::vector<BYTE> data(name);
    data.push_back(0);
    data.push_back(0);   // the add-in gets a terminated string whatever the link carried
    g_connected = true;
    if (g_initProc)
        g_initProc(&g_initHandleCookie, CHANNEL_EVENT_CONNECTED, data.data(), (UINT)name.size());
}

static DWORD WINAPI ChannelThread(LPVOID)
{
    for (;;) {
        DWORD type = 0;
        std::vector<BYTE> payload;
        int r = SimLinkRecv(g_link, INFINITE, &type, &payload);
        if (r != SIMLINK_FRAME)
            break;
        switch (type) {
        case SIMLINK_CONNECT:      Connect(payload); break;
        case SIMLINK_SERVER_WRITE: DeliverServerWrite(payload); break;
        case SIMLINK_DISCONNECT:   Disconnect(); break;
        default:                   Note("unknown frame type %lu", type); break;
        }
    }
    Disconnect();
    PostThreadMessageW(g_mainThread, WM_QUIT, 0, 0);
    return 0;
}

static void PumpFor(DWORD ms)
{
    DWORD start = GetTickCount();
    do {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
        Sleep(10);
    } while (GetTickCount() - start < ms);
}

static DWORD WINAPI UnloadThread(LPVOID module)
{
    FreeLibrary((HMODULE)module);
    return 0;
}

static BOOL CALLBACK FindAddinWindow(HWND hWnd, LPARAM found)
{
    WCHAR cls[64];
    if (GetClassNameW(hWnd, cls, ARRAYSIZE(cls)) && lstrcmpW(cls, L"QUORVANE_CL") == 0) {
        *(bool*)found = true;
        return FALSE;
    }
    return TRUE;
}

static void Unload(HMODULE module)
{
    if (!g_opt.unloadThread) {
        FreeLibrary(module);
        return;
    }
    // The owning thread keeps reading its messages while another thread
    // frees the library, as a Remote Desktop client's UI thread would.
    HANDLE t = CreateThread(nullptr, 0, UnloadThread, module, 0, nullptr);
    while (t && MsgWaitForMultipleObjects(1, &t, FALSE, 10000, QS_ALLINPUT) == WAIT_OBJECT_0 + 1)
        PumpFor(0);
    if (t)
        CloseHandle(t);
}

// Refuses the add-in's window and answers its message boxes, so that a start-up
// failure can be driven without anyone at the screen.
static LRESULT CALLBACK CbtHook(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_CREATEWND) {
        CBT_CREATEWNDW* create = (CBT_CREATEWNDW*)lParam;
        LPCWSTR cls = create->lpcs->lpszClass;
        if (!IS_INTRESOURCE(cls) && lstrcmpW(cls, L"QUORVANE_CL") == 0)
            return 1;
    } else if (code == HCBT_ACTIVATE) {
        WCHAR cls[16];
        if (GetClassNameW((HWND)wParam, cls, ARRAYSIZE(cls)) && lstrcmpW(cls, L"#32770") == 0) {
            InterlockedIncrement(&g_boxes);
            PostMessageW((HWND)wParam, WM_COMMAND, IDOK, 0);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

static bool ParseOptions(int argc, wchar_t** argv)
{
    for (int i = 3; i < argc; i++) {
        if (!lstrcmpW(argv[i], L"--fail-write") && i + 1 < argc)
            g_opt.failWrite = _wtoi(argv[++i]);
        else if (!lstrcmpW(argv[i], L"--cancel-writes"))
            g_opt.cancelWrites = true;
        else if (!lstrcmpW(argv[i], L"--complete-inside"))
            g_opt.completeInside = true;
        else if (!lstrcmpW(argv[i], L"--unload-thread"))
            g_opt.unloadThread = true;
        else if (!lstrcmpW(argv[i], L"--fail-window"))
            g_opt.failWindow = true;
        else
            return false;
    }
    return true;
}

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3 || !ParseOptions(argc, argv))
        return 2;
    g_mainThread = GetCurrentThreadId();
    g_link = SimLinkConnect((WORD)_wtoi(argv[2]));
    if (g_link == INVALID_SOCKET)
        return 5;
    HHOOK hook = g_opt.failWindow ? SetWindowsHookExW(WH_CBT, CbtHook, nullptr, GetCurrentThreadId()) : nullptr;
    HMODULE module = LoadLibraryW(argv[1]);
    if (!module) {
        Note("LoadLibrary error %lu", GetLastError());
        return 3;
    }
    PVIRTUALCHANNELENTRY entry = (PVIRTUALCHANNELENTRY)GetProcAddress(module, "VirtualChannelEntry");
    if (!entry)
        return 4;
    CHANNEL_ENTRY_POINTS points = {};
    points.cbSize = sizeof points;
    points.protocolVersion = VIRTUAL_CHANNEL_VERSION_WIN2000;
    points.pVirtualChannelInit = HostChannelInit;
    points.pVirtualChannelOpen = HostChannelOpen;
    points.pVirtualChannelClose = HostChannelClose;
    points.pVirtualChannelWrite = HostChannelWrite;
    g_inEntry = true;
    entry(&points);
    g_inEntry = false;
    if (g_initProc)
        g_initProc(&g_initHandleCookie, CHANNEL_EVENT_INITIALIZED, nullptr, 0);

    // Make sure the thread has a message queue before the channel thread may post to it.
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    HANDLE channel = CreateThread(nullptr, 0, ChannelThread, nullptr, 0, nullptr);
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    WaitForSingleObject(channel, INFINITE);
    CloseHandle(channel);
    if (g_initProc)
        g_initProc(&g_initHandleCookie, CHANNEL_EVENT_TERMINATED, nullptr, 0);
    Unload(module);
    PumpFor(200);

    bool left = false;
    EnumThreadWindows(GetCurrentThreadId(), FindAddinWindow, (LPARAM)&left);
    SimLinkClose(g_link);
    if (hook)
        UnhookWindowsHookEx(hook);
    if (left)
        return 6;
    return g_opt.failWindow ? 10 + (int)g_boxes : 0;
}
