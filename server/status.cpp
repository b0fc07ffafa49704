#include "status.h"
#include <stddef.h>
#include <string.h>
#include <winspool.h>
#include <memory>
#include <string>
#include <vector>
#include "drivers.h"
#include "log.h"
#include "raii.h"
#include "resource.h"
#include "server.h"
#include "update.h"

HWND g_hStatusWnd = nullptr;

namespace {

// The user's requests to apply again, between the window thread and the
// watch thread. Bounded: past the bound the request becomes "all".
SRWLOCK s_requestLock = SRWLOCK_INIT;
bool s_requestAll;
std::vector<std::wstring> s_requested;

struct RequestLock {
    RequestLock() { AcquireSRWLockExclusive(&s_requestLock); }
    ~RequestLock() { ReleaseSRWLockExclusive(&s_requestLock); }
};

void FillFromEntry(STATUSROW* row, const PRINTERENTRY& e)
{
    lstrcpynW(row->szName, e.pszName, ARRAYSIZE(row->szName));
    row->bTarget = TRUE;
    row->state = e.state;
    row->reason = e.reason;
    row->dwError = e.dwError;
    row->nAttempts = e.nAttempts;
    row->ftChanged = e.ftChanged;
}

// The driver of a printer and whether it is a target driver; asked of the
// spooler only while the window is shown.
void FillDriver(STATUSROW* row)
{
    if (GetDriverName(row->szDriver, row->szName))
        row->bTarget = MatchTargetDriver(row->szDriver) != nullptr;
}

// This session's redirected printers that the list does not hold: those of
// no target driver, and target ones not taken in yet.
std::vector<std::wstring> OtherRedirected(const CPrinterList& list)
{
    static const WCHAR F[] = L"PostStatusSnapshot";
    std::vector<std::wstring> names;
    DWORD needed = 0, count = 0;
    if (EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 4, nullptr, 0, &needed, &count) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        LogPrintf(LOG_W, F, L",EnumPrinters 1st call,error %d", GetLastError());
        return names;
    }
    std::unique_ptr<BYTE[]> buf(new BYTE[needed]);
    if (!EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 4, buf.get(), needed, &needed, &count)) {
        LogPrintf(LOG_W, F, L",EnumPrinters 2nd call,error %d", GetLastError());
        return names;
    }
    const PRINTER_INFO_4W* info = (const PRINTER_INFO_4W*)buf.get();
    for (DWORD i = 0; i < count; i++) {
        if ((info[i].Attributes & PRINTER_ATTRIBUTE_TS) && info[i].pPrinterName &&
            list.Find(info[i].pPrinterName) < 0)
            names.push_back(info[i].pPrinterName);
    }
    return names;
}

}  // namespace

STATUSTEXT StatusTextIds(const STATUSROW& row)
{
    if (!row.bTarget)
        return {IDS_STATE_NOT_APPLIED, IDS_REASON_NOT_TARGET};
    UINT reason = IDS_REASON_FIRST + (UINT)row.reason;
    switch (row.state) {
    case PRINTER_APPLIED:
        return {IDS_STATE_APPLIED, 0};
    case PRINTER_RETRY:
        return {IDS_STATE_APPLYING, reason};
    case PRINTER_GAVE_UP:
        return {IDS_STATE_NOT_APPLIED, EndsTheTries(row.reason) ? reason : (UINT)IDS_REASON_ATTEMPTS};
    default:
        // A waiting printer with a reason is one that cannot be asked for.
        return row.reason == REASON_NONE ? STATUSTEXT{IDS_STATE_WAITING, 0} : STATUSTEXT{IDS_STATE_NOT_APPLIED, reason};
    }
}

void FreeStatusSnapshot(STATUSSNAPSHOT* snapshot)
{
    if (snapshot)
        HeapFree(GetProcessHeap(), 0, snapshot);
}

static void FillHeader(STATUSSNAPSHOT* s, const CLIENTRECORD* client, const CPrinterList& list)
{
    s->bConnected = client->dwFamily != 0;
    s->bClientModule = client->bClientModule != 0;
    s->bVersion = s->bClientModule && LastClientVersion(&s->dwVersionMS, &s->dwVersionLS);
    lstrcpynW(s->szClient, client->szClientName, ARRAYSIZE(s->szClient));
    s->nTargets = list.Count();
    for (int i = 0; i < list.Count(); i++)
        s->nApplied += list.State(i) == PRINTER_APPLIED;
}

void PostStatusSnapshot(const CLIENTRECORD* client, CPrinterList& list)
{
    static const WCHAR F[] = L"PostStatusSnapshot";
    HWND wnd = g_hStatusWnd;
    if (!wnd)
        return;
    BOOL details = IsWindowVisible(wnd);
    std::vector<std::wstring> others;
    if (details)
        others = OtherRedirected(list);
    size_t rows = (size_t)list.Count() + others.size();
    if (rows > STATUS_ROWS_MAX)
        rows = STATUS_ROWS_MAX;
    size_t size = offsetof(STATUSSNAPSHOT, rows) + (rows ? rows : 1) * sizeof(STATUSROW);
    UniqueHeapBlock block(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size));
    if (!block) {
        LogPrintf(LOG_E, F, L",HeapAlloc,%d bytes", (int)size);
        return;
    }
    auto* s = (STATUSSNAPSHOT*)block.get();
    FillHeader(s, client, list);
    s->bDetails = details;
    for (int i = 0; i < list.Count() && s->nRows < (int)rows; i++)
        FillFromEntry(&s->rows[s->nRows++], *list.Entry(i));
    for (size_t i = 0; i < others.size() && s->nRows < (int)rows; i++) {
        STATUSROW* row = &s->rows[s->nRows++];
        lstrcpynW(row->szName, others[i].c_str(), ARRAYSIZE(row->szName));
        row->state = PRINTER_WAITING;
        row->nAttempts = PRINTER_ATTEMPTS;
    }
    if (details)
        for (int i = 0; i < s->nRows; i++)
            FillDriver(&s->rows[i]);
    LogPrintf(32, F, L",%d printers,%d of %d applied", s->nRows, s->nApplied, s->nTargets);
    // The window frees what it receives; what it never receives is ours to free.
    if (!PostMessageW(wnd, WM_STATUS_SNAPSHOT, 0, (LPARAM)s)) {
        LogPrintf(LOG_W, F, L",PostMessage,error %d", GetLastError());
        return;
    }
    block.release();
}

void RequestApplyAgain(LPCWSTR name)
{
    static const WCHAR F[] = L"RequestApplyAgain";
    LogPrintf(64, F, L",%s", name ? name : L"(all)");
    try {
        RequestLock lock;
        if (!name || s_requested.size() >= STATUS_ROWS_MAX)
            s_requestAll = true;
        else
            s_requested.push_back(name);
    } catch (const std::bad_alloc&) {
        LogPrintf(LOG_E, F, L",no memory");
        return;
    }
    if (g_hEvent[EVENT_TIMER])
        SetEvent(g_hEvent[EVENT_TIMER]);
}

void TakeApplyAgain(CPrinterList& list)
{
    static const WCHAR F[] = L"TakeApplyAgain";
    bool all;
    std::vector<std::wstring> names;
    {
        RequestLock lock;
        all = s_requestAll;
        s_requestAll = false;
        names.swap(s_requested);
    }
    for (int i = 0; all && i < list.Count(); i++) {
        GiveAttemptsBack(list.Entry(i));
        LogPrintf(64, F, L",%s,attempts back", list.Name(i));
    }
    for (const std::wstring& name : names) {
        int i = list.Find(name.c_str());
        if (i < 0) {
            LogPrintf(LOG_W, F, L",%s,not in the list", name.c_str());
            continue;
        }
        GiveAttemptsBack(list.Entry(i));
        LogPrintf(64, F, L",%s,attempts back", name.c_str());
    }
}
