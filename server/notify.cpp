#include "notify.h"
#include <winspool.h>
#include "log.h"
#include "server.h"

int g_nUseNotify = 1;

static const WCHAR F[] = L"WatchEnvProc";
static const DWORD kChanges = PRINTER_CHANGE_ADD_PRINTER | PRINTER_CHANGE_SET_PRINTER;

void CPrinterNotify::Close()
{
    if (change_) {
        FindClosePrinterChangeNotification(change_);
        change_ = nullptr;
    }
    if (server_) {
        ClosePrinter(server_);
        server_ = nullptr;
    }
}

// Each failure episode says once that the loop now runs on its interval
// alone; the attempts to re-arm at later passes stay at the detail level.
void CPrinterNotify::Fail(LPCWSTR call, DWORD error)
{
    Close();
    if (failed_) {
        LogPrintf(32, F, L",%s,error %d", call, error);
        return;
    }
    failed_ = true;
    LogPrintf(LOG_W, F, L",%s,error %d,interval %d(msec) only", call, error, g_dwInterval);
}

BOOL CPrinterNotify::Arm()
{
    if (!OpenPrinterW(nullptr, &server_, nullptr)) {
        server_ = nullptr;
        Fail(L"OpenPrinter", GetLastError());
        return FALSE;
    }
    HANDLE h = FindFirstPrinterChangeNotification(server_, kChanges, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE || !h) {
        Fail(L"FindFirstPrinterChangeNotification", GetLastError());
        return FALSE;
    }
    change_ = h;
    LogPrintf(failed_ ? 64 : 32, F, L",FindFirstPrinterChangeNotification,%p", change_);
    failed_ = false;
    return TRUE;
}

BOOL CPrinterNotify::Rearm()
{
    DWORD what = 0;
    if (!FindNextPrinterChangeNotification(change_, &what, nullptr, nullptr)) {
        Fail(L"FindNextPrinterChangeNotification", GetLastError());
        return FALSE;
    }
    LogPrintf(32, F, L",printer change,%08X", what);
    return TRUE;
}

void CPrinterNotify::Prepare()
{
    if (!g_nUseNotify)
        return;
    if (!change_)
        Arm();
    else if (WaitForSingleObject(change_, 0) == WAIT_OBJECT_0)
        Rearm();
}

BOOL CPrinterNotify::Gather()
{
    DWORD begin = GetTickCount();
    int changes = 0;
    while (change_ && Rearm()) {
        changes++;
        DWORD spent = GetTickCount() - begin;
        if (spent >= NOTIFY_GATHER_MAX_MS)
            break;
        DWORD wait = NOTIFY_GATHER_MAX_MS - spent < NOTIFY_QUIET_MS ? NOTIFY_GATHER_MAX_MS - spent : NOTIFY_QUIET_MS;
        HANDLE h[2] = {g_hEvent[EVENT_EXIT], change_};
        DWORD r = WaitForMultipleObjects(2, h, FALSE, wait);
        if (r == WAIT_OBJECT_0 + EVENT_EXIT)
            return FALSE;
        if (r != WAIT_OBJECT_0 + 1)
            break;   // quiet: the burst is over
    }
    LogPrintf(32, F, L",printer change,%d in %d(msec)", changes, GetTickCount() - begin);
    return TRUE;
}
