#include <winsock2.h>
#include <ws2tcpip.h>
#include "watch.h"
#include <string.h>
#include <wtsapi32.h>
#include <exception>
#include "apply.h"
#include "app.h"
#include "frame.h"
#include "log.h"
#include "module.h"
#include "notify.h"
#include "rdpcmd.h"
#include "resource.h"
#include "server.h"
#include "status.h"
#include "update.h"

DWORD GetClientAddr(CLIENTRECORD* client)
{
    static const WCHAR F[] = L"GetClientAddr";
    LogPrintf(LOG_TAG_ENTRY, F, L"");
    DWORD r;
    if (!WTS_IsActive()) {
        r = CLIENT_NONE;
        if (client->dwFamily != 0) {
            memset(client, 0, sizeof *client);
            r = CLIENT_DISCONNECTED;
        }
        LogPrintf(32, F, L",disconnected");
    } else {
        static CLIENTRECORD fresh;   // the watch thread's alone; too large for its stack
        memset(&fresh, 0, sizeof fresh);
        WTS_GetClientInfo(&fresh);
        DWORD bytes = fresh.dwFamily == AF_INET ? 4 : 16;
        if (fresh.dwFamily == client->dwFamily && memcmp(fresh.Address, client->Address, bytes) == 0) {
            r = CLIENT_SAME;
            LogPrintf(32, F, L",IP not changed");
        } else {
            *client = fresh;
            r = CLIENT_NEW;
            LogPrintf(32, F, L",Get IP");
        }
    }
    LogPrintf(LOG_TAG_EXIT, F, L"%02Xh", r);
    return r;
}

void DisconnectFromLocalPC(HANDLE hChannel)
{
    LogPrintf(128, L"DisconnectFromLocalPC", L",HS %d", (int)(INT_PTR)hChannel);
    WTSVirtualChannelClose(hChannel);
}

BOOL OnConnect(HANDLE hChannel, CLIENTRECORD* client)
{
    static const WCHAR F[] = L"OnConnect";
    LogScope scope(F, 64);
    CRdpData request;
    MakeInitializeRequest(request, g_dwSessionId, g_szUserName);
    CRdpData reply = WriteAndReadRDP(hChannel, request);
    WCHAR user[CCH_CLIENT_USER];
    if (!reply.Buffer() || reply.Res() != RDP_RES_OK) {
        LogPrintf(LOG_E, F, L",RDP_CMD_INITIALIZE error");
        return FALSE;
    }
    if (reply.GetString(user, ARRAYSIZE(user)) == RDP_STRING_BAD) {
        // A greeting we cannot read is no client module of ours.
        LogPrintf(LOG_E, F, L",RDP_CMD_INITIALIZE error,malformed reply");
        return FALSE;
    }
    LogPrintf(64, F, L",Initialize OK,%s", user);
    SetNotifyTip(client->szClientName, user);
    return TRUE;
}

HANDLE ConnectToLocalPC(CLIENTRECORD* client)
{
    static const WCHAR F[] = L"ConnectToLocalPC";
    LogScope scope(F, 64);
    HANDLE channel = WTSVirtualChannelOpen(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, (LPSTR)RDP_CHANNEL_NAME);
    if (!channel)
        return nullptr;
    LogPrintf(64, F, L",connect OK,HS %d", (int)(INT_PTR)channel);
    if (!OnConnect(channel, client)) {
        DisconnectFromLocalPC(channel);
        return nullptr;
    }
    LogPrintf(128, F, L",HS %d", (int)(INT_PTR)channel);
    return channel;
}

void OnNewClient(CLIENTRECORD* client, CPrinterList& list)
{
    static const WCHAR F[] = L"OnNewClient";
    LogScope scope(F, 64);
    LogPrintf(128, F, L",new client is connected,%s", client->szClientName);
    WCHAR address[1025];
    if (InetNtopW((INT)client->dwFamily, client->Address, address, ARRAYSIZE(address)))
        LogPrintf(64, F, L",IP %s", address);
    else
        LogPrintf(LOG_E, F, L",InetNtop,error %d", WSAGetLastError());
    HANDLE channel = ConnectToLocalPC(client);
    if (!channel) {
        client->bClientModule = 0;
        return;
    }
    client->bClientModule = 1;
    GetClientVersion(channel);
    DropAppliedBackups(list);
    list.ClearAll();
    DisconnectFromLocalPC(channel);
}

void WatchPass(CLIENTRECORD* client, CPrinterList& list)
{
    static const WCHAR F[] = L"WatchEnvProc";
    TakeApplyAgain(list);
    DWORD r = GetClientAddr(client);
    if (r & 0x0F) {
        if (r == CLIENT_NEW)
            OnNewClient(client, list);
        if (client->bClientModule) {
            if (list.EnumRedirectPrinters())
                ServerProc(list);
            else
                LogPrintf(32, F, L",no more redirect printer");
        } else if (r == CLIENT_NEW) {
            LogPrintf(LOG_W, F, L",client module not found");
        }
    } else if (r == CLIENT_DISCONNECTED) {
        LogPrintf(LOG_W, F, L",client disconnected");
        DropAppliedBackups(list);
        list.ClearAll();
        SetNotifyTip(nullptr, nullptr);
        PostMessageW(g_hMainWnd, WM_COMMAND, IDM_RESTART, 0);
    }
    PostStatusSnapshot(client, list);
}

// Waits for the reason of the next pass: the timer, the interval running
// out, a printer's retry falling due, or a printer change that concerns
// this session (the pass starts at once: a change during it gives one more).
// FALSE when the loop is to end.
static BOOL WaitForNextPass(CPrinterNotify& notify, CPrinterList& list, DWORD passBegin)
{
    static const WCHAR F[] = L"WatchEnvProc";
    DWORD start = GetTickCount();
    for (;;) {
        DWORD now = GetTickCount(), spent = now - start;
        DWORD wait = spent < g_dwInterval ? g_dwInterval - spent : 0;
        DWORD retry = list.NextRetryIn(now, passBegin);
        if (retry < wait)
            wait = retry;
        HANDLE h[3] = {g_hEvent[EVENT_EXIT], g_hEvent[EVENT_TIMER], notify.Handle()};
        DWORD count = h[2] ? 3 : 2;
        // Backups are dropped only while nothing else waits.
        DWORD r = WaitForMultipleObjects(count, h, FALSE, 0);
        if (r == WAIT_TIMEOUT && wait != 0 && DropOneAppliedBackup(list))
            continue;
        if (r == WAIT_TIMEOUT)
            r = WaitForMultipleObjects(count, h, FALSE, wait);
        if (r == WAIT_TIMEOUT && wait == retry)
            LogPrintf(32, F, L",retry due");
        if (r == WAIT_OBJECT_0 + EVENT_TIMER || r == WAIT_TIMEOUT)
            return TRUE;
        if (r == WAIT_OBJECT_0 + 2 && IsExitSet())
            break;
        if (r == WAIT_OBJECT_0 + 2) {
            if (notify.Take(list))
                return TRUE;
            continue;   // another session's printer: no pass, the same deadline
        }
        if (r != WAIT_OBJECT_0 + EVENT_EXIT) {
            LogPrintf(LOG_E, F, L",WaitForMultipleObjects,error %d", r);
            return FALSE;
        }
        break;
    }
    LogPrintf(32, F, L",WaitForMultipleObjects(exit),Done");
    return FALSE;
}

// The loop itself; returns when the exit event is set or the wait fails.
static void WatchLoop(CLIENTRECORD* client, CPrinterList& list)
{
    static const WCHAR F[] = L"WatchEnvProc";
    CPrinterNotify notify;
    DWORD begin;
    do {
        NotifyIcon(NI_ACTIVE);
        begin = GetTickCount();
        LogPrintf(32, F, L"%d,LOOP BEGIN", begin);
        notify.Prepare();
        WatchPass(client, list);
        LogPrintf(32, F, L"%d,LOOP END,%d(msec)", begin, GetTickCount() - begin);
        LogPrintf(32, F, L",WaitForMultipleObjects,\x2026");
    } while (WaitForNextPass(notify, list, begin));
    DropAppliedBackups(list);
}

// Nothing that goes wrong in a pass may end the thread silently: the user is
// told, and the module ends as after an exit request.
static void Unrecoverable(LPCWSTR what)
{
    LogPrintf(LOG_E, L"WatchEnvProc", L",exception,%s", what);
    CriticalMessage(IDS_FATAL);
}

unsigned __stdcall WatchEnvProc(void*)
{
    static const WCHAR F[] = L"WatchEnvProc";
    LogPrintf(LOG_TAG_ENTRY | 128, F, L"");
    static CLIENTRECORD client;   // the watch thread's alone
    memset(&client, 0, sizeof client);
    try {
        CPrinterList list;
        try {
            if (!list.Heap())
                throw std::bad_alloc();
            WatchLoop(&client, list);
        } catch (...) {
            list.ClearAll();
            throw;
        }
    } catch (const std::exception& e) {
        Unrecoverable(e.what()[0] ? L"std::exception" : L"");
    } catch (const RdpException& e) {
        LogPrintf(LOG_E, F, L",RdpException,%X", e.res);
        Unrecoverable(L"RdpException");
    } catch (...) {
        Unrecoverable(L"unknown");
    }
    PostMessageW(g_hMainWnd, WM_CLOSE, 0, 0);
    LogPrintf(LOG_TAG_EXIT | 128, F, L"");
    return 0;
}
