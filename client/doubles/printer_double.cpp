// Local printers for tests and simulation builds, linked in place of the
// spooler's EnumPrintersW (level 4), OpenPrinterW, DocumentPropertiesW and
// ClosePrinter.
//
// The printers are the values of one key under HKEY_CURRENT_USER, so that a
// test can set them up for another process (the host double) too:
//   value name        the printer's name
//   REG_BINARY        its device mode, public part and driver-private bytes
//   REG_BINARY, empty a printer whose device mode cannot be read
//   REG_DWORD n       a printer that fails to open with last error n
// The key is named by the environment variable QV_SIM_PRINTERS, or
// "Software\Quorvane Sim\Printers" without it.
#include "printer_double.h"
#include <string.h>

#define SIM_PRINTER_MAGIC 0x51565052   // "QVPR"

struct SimPrinter {
    DWORD magic;
    WCHAR name[1025];
};

static volatile LONG g_openCount;
static volatile LONG g_openAttempts;
static WCHAR g_lastOpenName[1025];

void SimPrinterKey(LPWSTR key, DWORD cch)
{
    DWORD n = GetEnvironmentVariableW(L"QV_SIM_PRINTERS", key, cch);
    if (n == 0 || n >= cch)
        lstrcpynW(key, L"Software\\Quorvane Sim\\Printers", cch);
}

LONG SimPrinterOpenCount()
{
    return g_openCount;
}

LONG SimPrinterOpenAttempts(LPWSTR lastName, DWORD cch)
{
    if (lastName && cch)
        lstrcpynW(lastName, g_lastOpenName, (int)cch);
    return g_openAttempts;
}

// Reads the printer's value; *type is REG_NONE when there is no such printer.
static BOOL ReadPrinter(LPCWSTR name, DWORD* type, BYTE* data, DWORD* size)
{
    WCHAR key[512];
    SimPrinterKey(key, ARRAYSIZE(key));
    *type = REG_NONE;
    return RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_ANY, type, data, size) == ERROR_SUCCESS;
}

static SimPrinter* FromHandle(HANDLE h)
{
    SimPrinter* p = (SimPrinter*)h;
    return p && p->magic == SIM_PRINTER_MAGIC ? p : nullptr;
}

extern "C" WINBOOL WINAPI OpenPrinterW(LPWSTR pPrinterName, LPHANDLE phPrinter, LPPRINTER_DEFAULTSW)
{
    if (!phPrinter || !pPrinterName || lstrlenW(pPrinterName) >= 1025) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *phPrinter = nullptr;
    InterlockedIncrement(&g_openAttempts);
    lstrcpynW(g_lastOpenName, pPrinterName, ARRAYSIZE(g_lastOpenName));
    DWORD type = REG_NONE, value = 0, size = sizeof value;
    BOOL found = ReadPrinter(pPrinterName, &type, nullptr, &size);
    if (!found) {
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    if (type == REG_DWORD) {
        size = sizeof value;
        ReadPrinter(pPrinterName, &type, (BYTE*)&value, &size);
        SetLastError(value);
        return FALSE;
    }
    SimPrinter* p = new SimPrinter;
    p->magic = SIM_PRINTER_MAGIC;
    lstrcpynW(p->name, pPrinterName, ARRAYSIZE(p->name));
    InterlockedIncrement(&g_openCount);
    *phPrinter = (HANDLE)p;
    return TRUE;
}

extern "C" LONG WINAPI DocumentPropertiesW(HWND, HANDLE hPrinter, LPWSTR, PDEVMODEW pDevModeOutput,
                                           PDEVMODEW, DWORD fMode)
{
    SimPrinter* p = FromHandle(hPrinter);
    DWORD type = REG_NONE, size = 0;
    if (!p || !ReadPrinter(p->name, &type, nullptr, &size) || type != REG_BINARY || size == 0) {
        SetLastError(p ? ERROR_INVALID_DATA : ERROR_INVALID_HANDLE);
        return -1;
    }
    if (fMode == 0)
        return (LONG)size;
    if (!(fMode & DM_OUT_BUFFER) || !pDevModeOutput) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (!ReadPrinter(p->name, &type, (BYTE*)pDevModeOutput, &size)) {
        SetLastError(ERROR_INVALID_DATA);
        return -1;
    }
    return IDOK;
}

extern "C" WINBOOL WINAPI ClosePrinter(HANDLE hPrinter)
{
    SimPrinter* p = FromHandle(hPrinter);
    if (!p) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    p->magic = 0;
    delete p;
    InterlockedDecrement(&g_openCount);
    return TRUE;
}

// Level 4 of the local printers and connections: every printer of the key,
// whatever its value says about opening it.
static DWORD ListPrinters(BYTE* out, DWORD cb, DWORD* count)
{
    WCHAR key[512];
    SimPrinterKey(key, ARRAYSIZE(key));
    HKEY k = nullptr;
    *count = 0;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_READ, &k) != ERROR_SUCCESS)
        return 0;
    DWORD values = 0;
    RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                     nullptr);
    DWORD needed = values * sizeof(PRINTER_INFO_4W), strings = needed;
    for (DWORD i = 0; i < values; i++) {
        WCHAR name[1025];
        DWORD cch = ARRAYSIZE(name);
        if (RegEnumValueW(k, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        DWORD bytes = (cch + 1) * sizeof(WCHAR);
        needed += bytes;
        if (out && needed <= cb) {
            PRINTER_INFO_4W* info = (PRINTER_INFO_4W*)out + i;
            info->pPrinterName = (LPWSTR)(out + strings);
            info->pServerName = nullptr;
            info->Attributes = PRINTER_ATTRIBUTE_LOCAL;
            memcpy(out + strings, name, bytes);
            (*count)++;
        }
        strings += bytes;
    }
    RegCloseKey(k);
    return needed;
}

extern "C" WINBOOL WINAPI EnumPrintersW(DWORD, LPWSTR, DWORD Level, LPBYTE pPrinterEnum, DWORD cbBuf,
                                        LPDWORD pcbNeeded, LPDWORD pcReturned)
{
    if (Level != 4 || !pcbNeeded || !pcReturned) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    DWORD count = 0;
    DWORD needed = ListPrinters(nullptr, 0, &count);
    *pcbNeeded = needed;
    *pcReturned = 0;
    if (!pPrinterEnum || cbBuf < needed) {
        if (needed == 0)
            return TRUE;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    ListPrinters(pPrinterEnum, cbBuf, pcReturned);
    return TRUE;
}
