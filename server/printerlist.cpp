#include "printerlist.h"
#include <winspool.h>
#include <string.h>
#include <wchar.h>
#include <memory>
#include <new>
#include "drivers.h"
#include "log.h"
#include "printername.h"
#include "server.h"

CPrinterList::CPrinterList() : m_hHeap(nullptr), m_pEntries(nullptr), m_nCount(0)
{
    static const WCHAR F[] = L"CPrinterList";
    LogPrintf(32, F, L",(default constructor)");
    // Without HEAP_GENERATE_EXCEPTIONS: the structured exception it raises
    // cannot be caught by this code, and a watch thread that dies of it would
    // end the module without a word. A failed allocation throws bad_alloc.
    m_hHeap = LoggedHeapCreate(F, 0);
}

CPrinterList::~CPrinterList()
{
    static const WCHAR F[] = L"~CPrinterList";
    LogScope scope(F);
    if (m_hHeap) {
        ClearAll();
        LoggedHeapDestroy(F, m_hHeap);
        m_hHeap = nullptr;
    }
}

void CPrinterList::ClearAll()
{
    static const WCHAR F[] = L"ClearAll";
    LogScope scope(F);
    if (!m_hHeap)
        return;
    LogPrintf(64, F, L",clear printer list");
    for (int i = 0; i < m_nCount; i++)
        LoggedHeapFree(F, m_hHeap, m_pEntries[i].pszName);
    if (m_pEntries && !LoggedHeapFree(F, m_hHeap, m_pEntries))
        m_pEntries = nullptr;
    m_nCount = 0;
}

int CPrinterList::AddRedirectPrinter(LPCWSTR name)
{
    static const WCHAR F[] = L"AddRedirectPrinter";
    LogPrintf(LOG_TAG_ENTRY, F, L"");
    int known = Find(name);
    if (known >= 0) {
        LogPrintf(64, F, L",printer already exists[%d],%s", known, name);
        LogPrintf(LOG_TAG_EXIT, F, L"[%d],,%s", known, name);
        return known;
    }
    int i = m_nCount;
    LogPrintf(128, F, L",find new printer[%d],%s", i, name);
    // A failed resize leaves the old array in place; the list stays as it was.
    auto* grown = (PRINTERENTRY*)LoggedHeapAlloc(F, m_hHeap, m_pEntries, (i + 1) * sizeof(PRINTERENTRY));
    if (!grown)
        throw std::bad_alloc();
    m_pEntries = grown;
    size_t cch = wcslen(name) + 1;
    LPWSTR copy = (LPWSTR)LoggedHeapAlloc(F, m_hHeap, nullptr, cch * sizeof(WCHAR));
    if (!copy)
        throw std::bad_alloc();
    memcpy(copy, name, cch * sizeof(WCHAR));
    m_pEntries[i] = PRINTERENTRY{copy, PRINTER_ATTEMPTS, PRINTER_WAITING, REASON_NONE, 0, 0, {}, FALSE};
    GetSystemTimeAsFileTime(&m_pEntries[i].ftChanged);
    m_nCount = i + 1;
    LogPrintf(LOG_TAG_EXIT, F, L"[%d],,%s", i, name);
    return i;
}

int CPrinterList::EnumRedirectPrinters()
{
    static const WCHAR F[] = L"EnumRedirectPrinters";
    LogScope scope(F);
    DWORD needed = 0, count = 0;
    if (EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 4, nullptr, 0, &needed, &count) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        LogPrintf(LOG_E, F, L",EnumPrinters 1st call,error %d", GetLastError());
        return 0;
    }
    std::unique_ptr<BYTE[]> buf(new BYTE[needed]);
    if (!EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 4, buf.get(), needed, &needed, &count)) {
        LogPrintf(LOG_E, F, L",EnumPrinters 2nd call,error %d", GetLastError());
        return 0;
    }
    LogPrintf(32, F, L",printer count %d", count);
    const PRINTER_INFO_4W* info = (const PRINTER_INFO_4W*)buf.get();
    int pending = 0;
    for (DWORD i = 0; i < count; i++) {
        LPCWSTR name = info[i].pPrinterName ? info[i].pPrinterName : L"";
        if (!(info[i].Attributes & PRINTER_ATTRIBUTE_TS)) {
            LogPrintf(32, F, L",ignore local,%s", name);
            continue;
        }
        // A printer once taken in is not asked about again: a pass that
        // finds nothing to try costs the enumeration alone.
        int known = Find(name);
        if (known >= 0) {
            pending += m_pEntries[known].nAttempts != 0;
            continue;
        }
        if (!GetPDL(name)) {
            LogPrintf(32, F, L",ignore redirect,%s", name);
            continue;
        }
        int index = AddRedirectPrinter(name);   // may move the array
        if (m_pEntries[index].nAttempts != 0)
            pending++;
    }
    return pending;
}

int CPrinterList::Find(LPCWSTR name) const
{
    for (int i = 0; i < m_nCount; i++)
        if (wcscmp(m_pEntries[i].pszName, name) == 0)
            return i;
    return -1;
}

DWORD CPrinterList::NextRetryIn(DWORD now, DWORD after) const
{
    DWORD next = INFINITE;
    for (int i = 0; i < m_nCount; i++) {
        const PRINTERENTRY& e = m_pEntries[i];
        if (e.state != PRINTER_RETRY || e.nAttempts == 0 || (LONG)(e.dwRetryAt - after) <= 0)
            continue;
        DWORD left = IsDue(&e, now) ? 0 : e.dwRetryAt - now;
        if (left < next)
            next = left;
    }
    return next;
}

DWORD RetryDelay(int failures)
{
    static const DWORD kSpacing[] = {2000, 4000, 8000, 16000};
    if (failures >= 1 && failures <= (int)ARRAYSIZE(kSpacing))
        return kSpacing[failures - 1];
    return g_dwInterval;
}

BOOL IsDue(const PRINTERENTRY* entry, DWORD now)
{
    if (entry->nAttempts == 0)
        return FALSE;
    // Signed: the tick count wraps after 49 days.
    return entry->state != PRINTER_RETRY || (LONG)(now - entry->dwRetryAt) >= 0;
}

BOOL EndsTheTries(PRINTERREASON reason)
{
    return reason == REASON_CHANNEL || reason == REASON_OLDER_DRIVER || reason == REASON_ACCESS_DENIED;
}

BOOL SetOutcome(PRINTERENTRY* entry, PRINTERREASON reason, DWORD error, DWORD now)
{
    GetSystemTimeAsFileTime(&entry->ftChanged);
    entry->reason = reason;
    entry->dwError = error;
    if (reason == REASON_NONE || EndsTheTries(reason)) {
        entry->state = reason == REASON_NONE ? PRINTER_APPLIED : PRINTER_GAVE_UP;
        entry->nAttempts = 0;
        return FALSE;
    }
    if (entry->nAttempts > 0 && --entry->nAttempts > 0) {
        entry->state = PRINTER_RETRY;
        entry->dwRetryAt = now + RetryDelay(PRINTER_ATTEMPTS - entry->nAttempts);
        return FALSE;
    }
    entry->state = PRINTER_GAVE_UP;
    return TRUE;
}

void GiveAttemptsBack(PRINTERENTRY* entry)
{
    entry->nAttempts = PRINTER_ATTEMPTS;
    entry->state = PRINTER_WAITING;
    entry->reason = REASON_NONE;
    entry->dwError = 0;
    entry->dwRetryAt = 0;
    GetSystemTimeAsFileTime(&entry->ftChanged);
}

BOOL CPrinterList::CreateLocalName(int index, LPWSTR out, DWORD cchOut)
{
    static const WCHAR F[] = L"CreateLocalName";
    LogPrintf(LOG_TAG_ENTRY, F, L"");
    LPCWSTR name = m_pEntries[index].pszName;
    DWORD code = ERROR_NO_LOCAL_NAME;
    size_t len = wcslen(name);
    out[0] = 0;
    if (len >= cchOut) {
        // Cutting would give the name of some other printer.
        LogPrintf(LOG_E, F, L",(SV)%s,too long", name);
    } else {
        size_t local = 0;
        switch (SplitRedirectedName(name, &local)) {
        case REDIRECT_SPLIT_NO_PAREN:
            LogPrintf(LOG_E, F, L",(SV)%s,no '('", name);
            break;
        case REDIRECT_SPLIT_NO_SPACE:
            LogPrintf(LOG_E, F, L",(SV)%s,no space before '('", name);
            break;
        case REDIRECT_SPLIT_OK:
            memcpy(out, name, local * sizeof(WCHAR));
            out[local] = 0;
            code = 0;
            break;
        }
    }
    if (code)
        out[0] = 0;
    LogPrintf(LOG_TAG_EXIT, F, L"%s", code ? L"FALSE" : L"TRUE");
    SetLastError(code);
    return code == 0;
}
