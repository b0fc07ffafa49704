#include "simlink.h"
#include <ws2tcpip.h>
#include <process.h>
#include <wchar.h>

// Once a frame has begun, the rest of it must follow within this time;
// otherwise the peer is taken to be gone.
static const DWORD FRAME_REST_TIMEOUT = 30000;

BOOL SimLinkStartup()
{
    static LONG started = 0;
    if (InterlockedCompareExchange(&started, 1, 0) != 0)
        return TRUE;
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        InterlockedExchange(&started, 0);
        return FALSE;
    }
    return TRUE;
}

static sockaddr_in Loopback(WORD port)
{
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

static void NoDelay(SOCKET s)
{
    int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char*)&on, sizeof on);
}

SOCKET SimLinkListen(WORD* port)
{
    SimLinkStartup();
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return s;
    sockaddr_in a = Loopback(port ? *port : 0);
    int len = sizeof a;
    if (bind(s, (sockaddr*)&a, sizeof a) != 0 || listen(s, 4) != 0 ||
        getsockname(s, (sockaddr*)&a, &len) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    if (port)
        *port = ntohs(a.sin_port);
    return s;
}

BOOL SimLinkReadable(SOCKET s, DWORD timeoutMs)
{
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(s, &rd);
    timeval tv = { (long)(timeoutMs / 1000), (long)(timeoutMs % 1000) * 1000 };
    return select(0, &rd, nullptr, nullptr, timeoutMs == INFINITE ? nullptr : &tv) > 0;
}

SOCKET SimLinkAccept(SOCKET listener, DWORD timeoutMs)
{
    if (!SimLinkReadable(listener, timeoutMs))
        return INVALID_SOCKET;
    SOCKET s = accept(listener, nullptr, nullptr);
    if (s != INVALID_SOCKET)
        NoDelay(s);
    return s;
}

SOCKET SimLinkConnect(WORD port)
{
    SimLinkStartup();
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return s;
    sockaddr_in a = Loopback(port);
    if (connect(s, (sockaddr*)&a, sizeof a) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    NoDelay(s);
    return s;
}

void SimLinkClose(SOCKET s)
{
    if (s == INVALID_SOCKET)
        return;
    shutdown(s, SD_SEND);
    closesocket(s);
}

static BOOL SendAll(SOCKET s, const BYTE* p, DWORD n)
{
    while (n > 0) {
        int chunk = n > 0x100000 ? 0x100000 : (int)n;
        int sent = send(s, (const char*)p, chunk, 0);
        if (sent <= 0)
            return FALSE;
        p += sent;
        n -= (DWORD)sent;
    }
    return TRUE;
}

BOOL SimLinkSend(SOCKET s, DWORD type, const void* data, DWORD length)
{
    if (length > SIMLINK_MAX_PAYLOAD || (length && !data))
        return FALSE;
    DWORD head[2] = { type, length };
    return SendAll(s, (const BYTE*)head, sizeof head) && SendAll(s, (const BYTE*)data, length);
}

BOOL SimLinkSendConnect(SOCKET s, LPCWSTR serverName)
{
    if (!serverName)
        serverName = L"";
    DWORD bytes = (DWORD)(lstrlenW(serverName) + 1) * sizeof(WCHAR);
    return SimLinkSend(s, SIMLINK_CONNECT, serverName, bytes);
}

// 1 when all n bytes arrived, 0 when the peer closed before the first byte,
// -1 on error, time-out or a close in the middle.
static int RecvAll(SOCKET s, BYTE* p, DWORD n)
{
    DWORD got = 0;
    while (got < n) {
        if (!SimLinkReadable(s, FRAME_REST_TIMEOUT))
            return -1;
        int chunk = (n - got) > 0x100000 ? 0x100000 : (int)(n - got);
        int r = recv(s, (char*)p + got, chunk, 0);
        if (r == 0)
            return got == 0 ? 0 : -1;
        if (r < 0)
            return -1;
        got += (DWORD)r;
    }
    return 1;
}

int SimLinkRecv(SOCKET s, DWORD timeoutMs, DWORD* type, std::vector<BYTE>* payload)
{
    if (!SimLinkReadable(s, timeoutMs))
        return SIMLINK_TIMEOUT;
    DWORD head[2];
    int r = RecvAll(s, (BYTE*)head, sizeof head);
    if (r == 0)
        return SIMLINK_CLOSED;
    if (r < 0 || head[1] > SIMLINK_MAX_PAYLOAD)
        return SIMLINK_BROKEN;
    *type = head[0];
    payload->resize(head[1]);
    if (head[1] && RecvAll(s, payload->data(), head[1]) != 1)
        return SIMLINK_BROKEN;
    return SIMLINK_FRAME;
}

static unsigned __stdcall SettingsFolderWatch(void* arg)
{
    auto check = (void (*)())arg;
    WCHAR folder[MAX_PATH];
    GetEnvironmentVariableW(L"QVSIM", folder, MAX_PATH);
    WCHAR* slash = wcsrchr(folder, L'\\');
    if (slash)
        *slash = 0;
    HANDLE change = FindFirstChangeNotificationW(folder, FALSE,
                                                 FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE);
    for (;;) {
        if (change != INVALID_HANDLE_VALUE) {
            WaitForSingleObject(change, 1000);
            FindNextChangeNotification(change);
        } else {
            Sleep(50);
        }
        check();
    }
}

void SimWatchSettingsFolder(void (*check)())
{
    DWORD n = GetEnvironmentVariableW(L"QVSIM", nullptr, 0);
    if (n == 0 || n > MAX_PATH)
        return;
    HANDLE t = (HANDLE)_beginthreadex(nullptr, 0, SettingsFolderWatch, (void*)check, 0, nullptr);
    if (t)
        CloseHandle(t);
}
