#include "drivers.h"
#include <winspool.h>
#include <string.h>
#include <wchar.h>
#include <memory>
#include "log.h"
#include "raii.h"

namespace {

struct DRIVERENTRY {
    LPCWSTR match;    // start of the driver name, or the whole name
    LPCWSTR suffix;   // end of the driver name, or "-"
    LPCWSTR pdl;
};

const LPCWSTR g_BuiltinLines[] = {
    L"Halvren , Dravo,DravoK",
    L"Halvren , DravoQ,DravoQ",
    L"Halvren Vendle Printer Driver,-,DravoQ",
};

// Lives for the whole process: GetPDL hands out pointers into it.
HANDLE g_hDrvHeap = nullptr;
DRIVERENTRY* g_pDrivers = nullptr;
DWORD g_nDrivers = 0;
DWORD g_nDriverRoom = 0;

BOOL AppendEntry(HANDLE heap, const DRIVERENTRY& entry)
{
    if (g_nDrivers == g_nDriverRoom) {
        DWORD room = g_nDriverRoom + 1;
        LPVOID p = g_pDrivers ? HeapReAlloc(heap, 0, g_pDrivers, room * sizeof(DRIVERENTRY))
                              : HeapAlloc(heap, 0, room * sizeof(DRIVERENTRY));
        if (!p)
            return FALSE;
        g_pDrivers = (DRIVERENTRY*)p;
        g_nDriverRoom = room;
    }
    g_pDrivers[g_nDrivers++] = entry;
    return TRUE;
}

bool EndsWith(LPCWSTR text, size_t len, LPCWSTR suffix)
{
    size_t n = wcslen(suffix);
    return len >= n && wcscmp(text + len - n, suffix) == 0;
}

bool Matches(const DRIVERENTRY& e, LPCWSTR driver)
{
    if (wcscmp(e.suffix, L"-") == 0)
        return wcscmp(driver, e.match) == 0;
    // The match text and the suffix may overlap: both are tested against the
    // whole name, not one after the other.
    size_t len = wcslen(driver);
    return wcsncmp(driver, e.match, wcslen(e.match)) == 0 && EndsWith(driver, len, e.suffix);
}

}  // namespace

BOOL SetDrvFromLine(HANDLE heap, LPCWSTR line, DWORD n)
{
    static const WCHAR F[] = L"SetDrvFromLine";
    LogScope scope(F);
    LogPrintf(32, F, L",%s,%d", line, n);
    if (n == 0)
        return TRUE;
    LPWSTR block = (LPWSTR)HeapAlloc(heap, 0, n * sizeof(WCHAR));
    if (!block)
        return FALSE;
    wcsncpy(block, line, n - 1);
    block[n - 1] = 0;
    LPWSTR first = wcschr(block, L',');
    LPWSTR second = first ? wcschr(first + 1, L',') : nullptr;
    if (!second) {
        HeapFree(heap, 0, block);
        return TRUE;
    }
    *first = 0;
    *second = 0;
    if (!AppendEntry(heap, DRIVERENTRY{block, first + 1, second + 1})) {
        HeapFree(heap, 0, block);
        return FALSE;
    }
    return TRUE;
}

static BOOL ReadDriversSection(LPCWSTR commonIni)
{
    std::unique_ptr<WCHAR[]> keys(new WCHAR[CCH_DRIVER_KEYS]);
    GetPrivateProfileStringW(L"Drivers", nullptr, L"", keys.get(), CCH_DRIVER_KEYS, commonIni);
    WCHAR value[CCH_DRIVER_LINE];
    for (LPCWSTR key = keys.get(); *key; key += wcslen(key) + 1) {
        DWORD n = GetPrivateProfileStringW(L"Drivers", key, L"", value, CCH_DRIVER_LINE, commonIni);
        if (!SetDrvFromLine(g_hDrvHeap, value, n + 1))
            return FALSE;
    }
    return TRUE;
}

BOOL ReadTargetDriver(LPCWSTR commonIni)
{
    static const WCHAR F[] = L"ReadTargetDriver";
    LogScope scope(F);
    LogPrintf(32, F, L",%s", commonIni);
    // Built once per process; a second build starts from an empty table.
    if (g_hDrvHeap)
        HeapDestroy(g_hDrvHeap);
    g_pDrivers = nullptr;
    g_nDrivers = g_nDriverRoom = 0;
    g_hDrvHeap = HeapCreate(0, 0, 0);
    if (!g_hDrvHeap)
        return FALSE;
    g_pDrivers = (DRIVERENTRY*)HeapAlloc(g_hDrvHeap, 0, 3 * sizeof(DRIVERENTRY));
    if (!g_pDrivers)
        return FALSE;
    g_nDriverRoom = 3;
    for (LPCWSTR line : g_BuiltinLines) {
        if (!SetDrvFromLine(g_hDrvHeap, line, (DWORD)wcslen(line) + 1))
            return FALSE;
    }
    return ReadDriversSection(commonIni);
}

LPCWSTR MatchTargetDriver(LPCWSTR driverName)
{
    for (DWORD i = 0; i < g_nDrivers; i++) {
        if (Matches(g_pDrivers[i], driverName))
            return g_pDrivers[i].pdl;
    }
    return nullptr;
}

LPCWSTR GetPDL(LPCWSTR printerName)
{
    static const WCHAR F[] = L"GetPDL";
    LogScope scope(F);
    LogPrintf(32, F, L",%s", printerName);
    WCHAR driver[MAX_PATH];
    if (!GetDriverName(driver, printerName))
        return nullptr;
    LPCWSTR pdl = MatchTargetDriver(driver);
    if (pdl)
        LogPrintf(32, F, L",%s", pdl);
    else
        LogPrintf(32, F, L",unknown");
    return pdl;
}

static BOOL QueryDriverName(HANDLE printer, LPWSTR driver, LPCWSTR printerName)
{
    static const WCHAR F[] = L"GetDriverName";
    DWORD needed = 0;
    if (GetPrinterW(printer, 2, nullptr, 0, &needed) || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        LogPrintf(LOG_E, F, L",GetPrinter first,%s,error %d", printerName, GetLastError());
        return FALSE;
    }
    if (needed < sizeof(PRINTER_INFO_2W)) {
        LogPrintf(LOG_E, F, L",GetPrinter first,%s,error %d", printerName, ERROR_INVALID_DATA);
        return FALSE;
    }
    std::unique_ptr<BYTE[]> buf(new BYTE[needed]);
    if (!GetPrinterW(printer, 2, buf.get(), needed, &needed)) {
        LogPrintf(LOG_E, F, L",GetPrinter second,%s,error %d", printerName, GetLastError());
        return FALSE;
    }
    LPCWSTR name = ((PRINTER_INFO_2W*)buf.get())->pDriverName;
    lstrcpynW(driver, name ? name : L"", MAX_PATH);
    LogPrintf(32, F, L",%s,%s", printerName, driver);
    return TRUE;
}

BOOL GetDriverName(LPWSTR driver, LPCWSTR printerName)
{
    static const WCHAR F[] = L"GetDriverName";
    LogPrintf(LOG_TAG_ENTRY, F, L"");
    driver[0] = 0;
    UniquePrinter printer;
    BOOL ok = FALSE;
    if (!OpenPrinterW((LPWSTR)printerName, printer.put(), nullptr))
        LogPrintf(LOG_E, F, L",OpenPrinter,%s,error %d", printerName, GetLastError());
    else
        ok = QueryDriverName(printer.get(), driver, printerName);
    LogPrintf(LOG_TAG_EXIT, F, L",return %s", ok ? L"TRUE" : L"FALSE");
    return ok;
}
