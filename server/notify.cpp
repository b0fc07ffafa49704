#include "notify.h"
#include <winspool.h>
#include <wchar.h>
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
    // The name of each printer that changed comes with the change.
    WORD fields[] = {PRINTER_NOTIFY_FIELD_PRINTER_NAME};
    PRINTER_NOTIFY_OPTIONS_TYPE type = {PRINTER_NOTIFY_TYPE, 0, 0, 0, ARRAYSIZE(fields), fields};
    PRINTER_NOTIFY_OPTIONS options = {2, 0, 1, &type};
    HANDLE h = FindFirstPrinterChangeNotification(server_, kChanges, 0, &options);
    if (h == INVALID_HANDLE_VALUE || !h) {
        Fail(L"FindFirstPrinterChangeNotification", GetLastError());
        return FALSE;
    }
    change_ = h;
    LogPrintf(failed_ ? 64 : 32, F, L",FindFirstPrinterChangeNotification,%p", change_);
    failed_ = false;
    return TRUE;
}

void CPrinterNotify::Prepare()
{
    if (g_nUseNotify && !change_)
        Arm();
}

// The number a redirected printer's name ends in, in whatever words: the
// last digits of the name. (DWORD)-1 when there are none or too many.
static DWORD TrailingNumber(LPCWSTR name, size_t cch)
{
    size_t end = cch;
    while (end > 0 && !(name[end - 1] >= L'0' && name[end - 1] <= L'9'))
        end--;
    size_t begin = end;
    while (begin > 0 && name[begin - 1] >= L'0' && name[begin - 1] <= L'9')
        begin--;
    if (begin == end || end - begin > 9)
        return (DWORD)-1;
    DWORD n = 0;
    for (size_t i = begin; i < end; i++)
        n = n * 10 + (DWORD)(name[i] - L'0');
    return n;
}

BOOL ConcernsSession(const CPrinterList& list, LPCWSTR name, DWORD session)
{
    int known = list.Find(name);
    if (known >= 0)
        return list.State(known) == PRINTER_WAITING;
    return TrailingNumber(name, wcslen(name)) == session;
}

// The printer names of one notification's data; a name the spooler sent
// is used only when it ends within the bytes it announced.
static BOOL AnyConcerns(const PRINTER_NOTIFY_INFO* info, const CPrinterList& list, int* names)
{
    BOOL any = FALSE;
    for (DWORD i = 0; i < info->Count; i++) {
        const PRINTER_NOTIFY_INFO_DATA& d = info->aData[i];
        if (d.Type != PRINTER_NOTIFY_TYPE || d.Field != PRINTER_NOTIFY_FIELD_PRINTER_NAME)
            continue;
        LPCWSTR name = (LPCWSTR)d.NotifyData.Data.pBuf;
        size_t cch = d.NotifyData.Data.cbBuf / sizeof(WCHAR);
        if (!name || cch == 0 || wmemchr(name, 0, cch) == nullptr) {
            any = TRUE;   // unreadable: the enumeration will tell
            continue;
        }
        (*names)++;
        if (ConcernsSession(list, name, g_dwSessionId)) {
            LogPrintf(32, F, L",printer change,%s", name);
            any = TRUE;
        }
    }
    return any;
}

BOOL CPrinterNotify::Take(const CPrinterList& list)
{
    DWORD what = 0;
    PRINTER_NOTIFY_INFO* info = nullptr;
    if (!FindNextPrinterChangeNotification(change_, &what, nullptr, (LPVOID*)&info)) {
        Fail(L"FindNextPrinterChangeNotification", GetLastError());
        return TRUE;
    }
    int names = 0;
    BOOL due = !info || (info->Flags & PRINTER_NOTIFY_INFO_DISCARDED) || AnyConcerns(info, list, &names) ||
               names == 0;
    if (info)
        FreePrinterNotifyInfo(info);
    if (due)
        LogPrintf(32, F, L",printer change,%08X,%d printers", what, names);
    else
        LogPrintf(32, F, L",printer change,%08X,%d printers,none of this session", what, names);
    return due;
}
