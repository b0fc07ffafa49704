// Local printers for tests and simulation builds, linked in place of the
// spooler's OpenPrinterW, DocumentPropertiesW and ClosePrinter.
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
