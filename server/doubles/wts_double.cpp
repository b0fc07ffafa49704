// Replaces the Remote Desktop Services functions at link time. Without
// CHANNEL_OPTION_SHOW_PROTOCOL a static channel reads as a plain byte stream,
// at most 1600 bytes per read, and a read that times out fails with
// ERROR_IO_INCOMPLETE: the double behaves the same.
//
// A simulation process is configured by the settings file named in the
// environment variable QVSIM (section [Session]: Id, State, Protocol,
// Family, Address, ClientName); it is read again at every query, so that a
// script can end the session while the process runs. With [Link] Port set,
// the channel's far end is the client host double over the loopback link
// (Port 0: any free port, written back as PortInUse for the script; a file
// "<settings file>.disconnect" ends the connection as closing the client would), and
// [Session] UserName is the session's user, so that simulated sessions of
// different users keep their own settings, logs and named objects.
#include <winsock2.h>
#include <ws2tcpip.h>
#include "wts_double.h"
#include <process.h>
#include <wtsapi32.h>
#include "simlink.h"
#include <deque>
#include <map>
#include <string>
#include <string.h>

namespace {

const ULONG CHUNK = 1600;

struct Session {
    DWORD id = 1;
    int state = WTSActive;
    USHORT protocol = WTS_PROTOCOL_TYPE_RDP;
    DWORD family = AF_INET;
    BYTE address[18] = {192, 0, 2, 1};
    std::wstring clientName = L"PC1";
    std::map<int, DWORD> failures;
};

struct Channel {
    std::deque<BYTE> incoming;
    std::deque<std::pair<bool, DWORD>> writeFaults;   // (short?, value)
    std::function<void(const WtsDouble::Bytes&)> onWrite;
    std::vector<WtsDouble::Bytes> writes;
    int writeCalls = 0, readCalls = 0, timeouts = 0;
    int disconnectAfter = -1;
    DWORD openError = 0;
    int open = 0;
    SOCKET link = INVALID_SOCKET;   // to the client host double, once joined
    bool linked = false;            // the far end is the link, not the test
};

struct State {
    CRITICAL_SECTION cs;
    HANDLE dataReady;   // manual-reset, set while incoming is not empty
    HANDLE joined;      // manual-reset, set once the host has joined the link
    Session session;
    Channel channel;
    bool simLoaded = false;   // the simulation file's link has been set up
    bool simNoLink = false;   // a simulation without a far end: no add-in to talk to
    bool simLink = false;     // a simulated connection: active only while the host is joined
    bool simDisconnected = false;
    std::vector<HWND> windows;       // registered for session notifications
    DWORD registerError = 0;
    State() {
        InitializeCriticalSection(&cs);
        dataReady = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        joined = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
};

State& S()
{
    static State s;
    return s;
}

struct Lock {
    Lock() { EnterCriticalSection(&S().cs); }
    ~Lock() { LeaveCriticalSection(&S().cs); }
};

int g_ChannelTag;   // what an open channel handle points at

// Tells the registered windows of a connect or disconnect (lock held).
void PostSessionChange(WPARAM code)
{
    for (HWND w : S().windows)
        PostMessageW(w, WM_WTSSESSION_CHANGE, code, (LPARAM)S().session.id);
}

void SetState(int state)
{
    if (state == S().session.state)
        return;
    S().session.state = state;
    if (state == WTSActive || state == WTSDisconnected)
        PostSessionChange(state == WTSActive ? WTS_REMOTE_CONNECT : WTS_REMOTE_DISCONNECT);
}

void UpdateDataReady()
{
    if (S().channel.incoming.empty())
        ResetEvent(S().dataReady);
    else
        SetEvent(S().dataReady);
}

BOOL SimulationFile(LPWSTR ini)
{
    DWORD n = GetEnvironmentVariableW(L"QVSIM", ini, MAX_PATH);
    return n > 0 && n < MAX_PATH;
}

void StartSimulationLink(LPCWSTR ini);

// A file named as the settings file plus ".disconnect": the user closes the
// Remote Desktop client. (A file, not a key: a process that wrote the
// settings file itself may keep reading its own cached copy of it.)
void CheckDisconnectSignal(LPCWSTR ini)
{
    WCHAR signal[MAX_PATH + 16];
    wsprintfW(signal, L"%s.disconnect", ini);
    if (S().simLink && S().channel.link != INVALID_SOCKET && !S().simDisconnected &&
        GetFileAttributesW(signal) != INVALID_FILE_ATTRIBUTES) {
        S().simDisconnected = true;
        SimLinkSend(S().channel.link, SIMLINK_DISCONNECT, nullptr, 0);
        shutdown(S().channel.link, SD_SEND);
    }
}

// The client may be closed while nothing queries the session (a long
// interval between passes).
void CheckDisconnect()
{
    WCHAR ini[MAX_PATH];
    Lock lock;
    if (SimulationFile(ini))
        CheckDisconnectSignal(ini);
}

void LoadSimulationSettings(Session& s)
{
    WCHAR ini[MAX_PATH];
    if (!SimulationFile(ini))
        return;
    if (!S().simLoaded) {
        S().simLoaded = true;
        StartSimulationLink(ini);
    }
    CheckDisconnectSignal(ini);
    s.id = GetPrivateProfileIntW(L"Session", L"Id", s.id, ini);
    s.state = (int)GetPrivateProfileIntW(L"Session", L"State", s.state, ini);
    s.protocol = (USHORT)GetPrivateProfileIntW(L"Session", L"Protocol", s.protocol, ini);
    WCHAR text[1100];
    GetPrivateProfileStringW(L"Session", L"ClientName", s.clientName.c_str(), text, ARRAYSIZE(text), ini);
    s.clientName = text;
    GetPrivateProfileStringW(L"Session", L"Address", L"", text, ARRAYSIZE(text), ini);
    if (text[0]) {
        BYTE addr[16] = {};
        if (InetPtonW(AF_INET, text, addr) == 1) {
            s.family = AF_INET;
            memset(s.address, 0, sizeof s.address);
            memcpy(s.address, addr, 4);
        } else if (InetPtonW(AF_INET6, text, addr) == 1) {
            s.family = AF_INET6;
            memset(s.address, 0, sizeof s.address);
            memcpy(s.address, addr, 16);
        }
    }
}

struct LinkStart {
    SOCKET listener;
    std::wstring serverName;
};

// Feeds the add-in's writes into the channel's byte stream until the link ends.
void PumpLink(SOCKET link)
{
    for (;;) {
        DWORD type = 0;
        std::vector<BYTE> payload;
        int r = SimLinkRecv(link, INFINITE, &type, &payload);
        if (r == SIMLINK_TIMEOUT)
            continue;
        Lock lock;
        if (r != SIMLINK_FRAME || type == SIMLINK_DISCONNECT) {
            SetState(WTSDisconnected);
            return;
        }
        if (type == SIMLINK_CLIENT_WRITE) {
            S().channel.incoming.insert(S().channel.incoming.end(), payload.begin(), payload.end());
            UpdateDataReady();
        }
    }
}

unsigned __stdcall LinkThread(void* arg)
{
    LinkStart* start = (LinkStart*)arg;
    SOCKET link = SimLinkAccept(start->listener, INFINITE);
    SimLinkClose(start->listener);
    if (link != INVALID_SOCKET && SimLinkSendConnect(link, start->serverName.c_str())) {
        {
            Lock lock;
            S().channel.link = link;
            PostSessionChange(WTS_REMOTE_CONNECT);
        }
        SetEvent(S().joined);
        PumpLink(link);
    }
    delete start;
    return 0;
}

BOOL StartLink(WORD* port, LPCWSTR serverName)
{
    SOCKET listener = SimLinkListen(port);
    if (listener == INVALID_SOCKET)
        return FALSE;
    S().channel.linked = true;
    HANDLE t = (HANDLE)_beginthreadex(nullptr, 0, LinkThread, new LinkStart{listener, serverName}, 0, nullptr);
    if (!t)
        return FALSE;
    CloseHandle(t);
    return TRUE;
}

void StartSimulationLink(LPCWSTR ini)
{
    WCHAR text[64];
    GetPrivateProfileStringW(L"Link", L"Port", L"", text, ARRAYSIZE(text), ini);
    if (!text[0]) {
        S().simNoLink = true;
        return;
    }
    S().simLink = true;
    SimWatchSettingsFolder(CheckDisconnect);
    WORD port = (WORD)_wtoi(text);
    WCHAR server[256];
    GetPrivateProfileStringW(L"Link", L"ServerName", L"TS1", server, ARRAYSIZE(server), ini);
    if (StartLink(&port, server)) {
        _itow(port, text, 10);
        WritePrivateProfileStringW(L"Link", L"PortInUse", text, ini);
    }
}

// The answer to one query, in memory that WTSFreeMemory releases.
BOOL Answer(const void* value, DWORD size, LPWSTR* buffer, DWORD* bytes)
{
    void* p = LocalAlloc(LMEM_FIXED, size);
    if (!p) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    memcpy(p, value, size);
    *buffer = (LPWSTR)p;
    *bytes = size;
    return TRUE;
}

BOOL ValidChannel(HANDLE h)
{
    if (h == (HANDLE)&g_ChannelTag && S().channel.open > 0)
        return TRUE;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

// The session's user for GetUserNameW, from the simulation file; the real
// account name without one.
BOOL WINAPI SimGetUserNameW(LPWSTR name, LPDWORD size)
{
    WCHAR ini[MAX_PATH], user[256];
    if (SimulationFile(ini) && GetPrivateProfileStringW(L"Session", L"UserName", L"", user, 256, ini) > 0) {
        DWORD need = (DWORD)wcslen(user) + 1;
        if (!name || *size < need) {
            *size = need;
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        memcpy(name, user, need * sizeof(WCHAR));
        *size = need;
        return TRUE;
    }
    auto real = (BOOL(WINAPI*)(LPWSTR, LPDWORD))GetProcAddress(LoadLibraryW(L"advapi32.dll"), "GetUserNameW");
    return real ? real(name, size) : FALSE;
}

}  // namespace

extern "C" {

// GetUserNameW is imported through this pointer; defining it here takes the
// place of the import library's entry.
BOOL(WINAPI* __imp_GetUserNameW)(LPWSTR, LPDWORD) = SimGetUserNameW;

BOOL WINAPI WTSQuerySessionInformationW(HANDLE, DWORD, WTS_INFO_CLASS cls, LPWSTR* buffer, DWORD* bytes)
{
    Lock lock;
    Session& s = S().session;
    LoadSimulationSettings(s);
    *buffer = nullptr;
    *bytes = 0;
    auto failure = s.failures.find(cls);
    if (failure != s.failures.end()) {
        SetLastError(failure->second);
        return FALSE;
    }
    switch (cls) {
    case WTSConnectState: {
        // The Remote Desktop client has not joined yet: the session has no
        // connection, as before a user connects.
        int state = S().simLink && S().channel.link == INVALID_SOCKET && s.state == WTSActive ? WTSConnected
                                                                                                  : s.state;
        return Answer(&state, sizeof state, buffer, bytes);
    }
    case WTSClientProtocolType:
        return Answer(&s.protocol, sizeof s.protocol, buffer, bytes);
    case WTSSessionId:
        return Answer(&s.id, sizeof s.id, buffer, bytes);
    case WTSClientAddress: {
        WTS_CLIENT_ADDRESS addr = {};
        addr.AddressFamily = s.family;
        memcpy(addr.Address + 2, s.address, sizeof s.address);
        return Answer(&addr, sizeof addr, buffer, bytes);
    }
    case WTSClientName:
        return Answer(s.clientName.c_str(), (DWORD)(s.clientName.size() + 1) * sizeof(WCHAR), buffer, bytes);
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
}

BOOL WINAPI WTSRegisterSessionNotification(HWND hWnd, DWORD)
{
    Lock lock;
    if (S().registerError || !hWnd) {
        SetLastError(S().registerError ? S().registerError : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    S().windows.push_back(hWnd);
    return TRUE;
}

BOOL WINAPI WTSUnRegisterSessionNotification(HWND hWnd)
{
    Lock lock;
    auto& w = S().windows;
    for (size_t i = 0; i < w.size(); i++) {
        if (w[i] == hWnd) {
            w.erase(w.begin() + (long)i);
            return TRUE;
        }
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

void WINAPI WTSFreeMemory(PVOID memory)
{
    LocalFree(memory);
}

HANDLE WINAPI WTSVirtualChannelOpen(HANDLE, DWORD, LPSTR name)
{
    Lock lock;
    Channel& c = S().channel;
    LoadSimulationSettings(S().session);
    if (c.openError || !name || strcmp(name, "Quorvex") != 0 || (c.linked && c.link == INVALID_SOCKET) ||
        S().simNoLink) {
        SetLastError(c.openError ? c.openError : ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    c.open++;
    return (HANDLE)&g_ChannelTag;
}

BOOL WINAPI WTSVirtualChannelClose(HANDLE h)
{
    Lock lock;
    if (!ValidChannel(h))
        return FALSE;
    S().channel.open--;
    return TRUE;
}

BOOL WINAPI WTSVirtualChannelWrite(HANDLE h, PCHAR buffer, ULONG length, PULONG written)
{
    std::function<void(const WtsDouble::Bytes&)> handler;
    WtsDouble::Bytes block;
    {
        Lock lock;
        if (!ValidChannel(h))
            return FALSE;
        Channel& c = S().channel;
        c.writeCalls++;
        c.writes.emplace_back((BYTE*)buffer, (BYTE*)buffer + length);
        *written = 0;
        if (!c.writeFaults.empty()) {
            auto fault = c.writeFaults.front();
            c.writeFaults.pop_front();
            if (!fault.first) {
                SetLastError(fault.second);
                return FALSE;
            }
            *written = fault.second < length ? fault.second : length;
            return TRUE;
        }
        *written = length;
        if (c.linked) {
            // One server write travels as one frame; the host cuts it into chunks.
            if (!SimLinkSend(c.link, SIMLINK_SERVER_WRITE, buffer, length)) {
                SetLastError(ERROR_BROKEN_PIPE);
                return FALSE;
            }
            return TRUE;
        }
        handler = c.onWrite;
        block = c.writes.back();
    }
    if (handler)
        handler(block);
    return TRUE;
}

BOOL WINAPI WTSVirtualChannelRead(HANDLE h, ULONG timeout, PCHAR buffer, ULONG size, PULONG read)
{
    {
        Lock lock;
        if (!ValidChannel(h))
            return FALSE;
        S().channel.readCalls++;
    }
    *read = 0;
    WaitForSingleObject(S().dataReady, timeout);
    Lock lock;
    Channel& c = S().channel;
    if (c.incoming.empty()) {
        c.timeouts++;
        if (c.disconnectAfter >= 0 && c.timeouts >= c.disconnectAfter)
            SetState(WTSDisconnected);
        SetLastError(ERROR_IO_INCOMPLETE);
        return FALSE;
    }
    ULONG n = size < CHUNK ? size : CHUNK;
    if (n > c.incoming.size())
        n = (ULONG)c.incoming.size();
    for (ULONG i = 0; i < n; i++) {
        buffer[i] = (CHAR)c.incoming.front();
        c.incoming.pop_front();
    }
    UpdateDataReady();
    *read = n;
    return TRUE;
}

}  // extern "C"

namespace WtsDouble {

void Reset()
{
    Lock lock;
    if (S().channel.link != INVALID_SOCKET)
        SimLinkClose(S().channel.link);
    S().session = Session();
    S().channel = Channel();
    S().registerError = 0;
    ResetEvent(S().joined);
    UpdateDataReady();
}

BOOL ListenLink(WORD* port, LPCWSTR serverName)
{
    Lock lock;
    return StartLink(port, serverName);
}

BOOL WaitLinkJoined(DWORD timeoutMs)
{
    return WaitForSingleObject(S().joined, timeoutMs) == WAIT_OBJECT_0;
}

void EndLink()
{
    Lock lock;
    SOCKET link = S().channel.link;
    if (link == INVALID_SOCKET)
        return;
    SimLinkSend(link, SIMLINK_DISCONNECT, nullptr, 0);
    // Only our sending half: the link thread still reads until the host closes.
    shutdown(link, SD_SEND);
}

void SetSessionId(DWORD id) { Lock lock; S().session.id = id; }
void SetConnectState(int state) { Lock lock; SetState(state); }
void FailRegisterNotification(DWORD error) { Lock lock; S().registerError = error; }
int RegisteredWindows() { Lock lock; return (int)S().windows.size(); }
void SetProtocol(USHORT protocol) { Lock lock; S().session.protocol = protocol; }

void SetClientAddress(DWORD family, const BYTE* bytes, DWORD count)
{
    Lock lock;
    Session& s = S().session;
    s.family = family;
    memset(s.address, 0, sizeof s.address);
    memcpy(s.address, bytes, count < sizeof s.address ? count : sizeof s.address);
}

void SetClientName(LPCWSTR name) { Lock lock; S().session.clientName = name; }

void FailQuery(int infoClass, DWORD error)
{
    Lock lock;
    if (error)
        S().session.failures[infoClass] = error;
    else
        S().session.failures.erase(infoClass);
}

void QueueRead(const void* bytes, DWORD count)
{
    Lock lock;
    const BYTE* p = (const BYTE*)bytes;
    S().channel.incoming.insert(S().channel.incoming.end(), p, p + count);
    UpdateDataReady();
}

void OnWrite(std::function<void(const Bytes&)> handler) { Lock lock; S().channel.onWrite = handler; }
void ShortWrite(DWORD accepted) { Lock lock; S().channel.writeFaults.emplace_back(true, accepted); }
void FailWrite(DWORD error) { Lock lock; S().channel.writeFaults.emplace_back(false, error); }
void DisconnectAfterTimeouts(int timeouts) { Lock lock; S().channel.disconnectAfter = timeouts; }
void FailOpen(DWORD error) { Lock lock; S().channel.openError = error; }

std::vector<Bytes> Writes() { Lock lock; return S().channel.writes; }
int WriteCalls() { Lock lock; return S().channel.writeCalls; }
int ReadCalls() { Lock lock; return S().channel.readCalls; }
int TimedOutReads() { Lock lock; return S().channel.timeouts; }
int OpenChannels() { Lock lock; return S().channel.open; }

}  // namespace WtsDouble
