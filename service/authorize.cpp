// The request's word is never taken: the printer must be a redirected one of
// the asking client's own session, and the client must be able to open it.
#include "service.h"
#include "log.h"
#include "printername.h"
#include "raii.h"
#include <winspool.h>

static DWORD Refuse(LPCWSTR reason, LPCWSTR path, DWORD detail)
{
    LogPrintf(LOG_W, L"AuthorizeRegRequest", L",refused,%s,%s,%d", reason, path, detail);
    return REG_STATUS_BAD_ARGUMENT;
}

// *detail: the attributes, or the error that kept them from being read.
static BOOL IsRedirectedPrinter(LPCWSTR name, DWORD* detail)
{
    UniquePrinter printer;
    if (!OpenPrinterW((LPWSTR)name, printer.put(), nullptr)) {
        *detail = GetLastError();
        return FALSE;
    }
    DWORD needed = 0;
    GetPrinterW(printer.get(), 2, nullptr, 0, &needed);
    UniqueHeapBlock info(needed ? HeapAlloc(GetProcessHeap(), 0, needed) : nullptr);
    if (!info || !GetPrinterW(printer.get(), 2, (BYTE*)info.get(), needed, &needed)) {
        *detail = info ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY;
        return FALSE;
    }
    *detail = ((const PRINTER_INFO_2W*)info.get())->Attributes;
    return (*detail & PRINTER_ATTRIBUTE_TS) != 0;
}

// The client's own rights decide whether it may use the printer at all.
static BOOL ClientCanOpen(HANDLE pipe, LPCWSTR name, DWORD* error)
{
    if (!ImpersonateNamedPipeClient(pipe)) {
        *error = GetLastError();
        return FALSE;
    }
    UniquePrinter printer;
    BOOL opened = OpenPrinterW((LPWSTR)name, printer.put(), nullptr);
    *error = opened ? 0 : GetLastError();
    printer.reset();
    if (!RevertToSelf()) {
        // Going on as the client would do everything after with its rights
        // and its identity: nothing is safe to do any more.
        LogPrintf(LOG_E, L"AuthorizeRegRequest", L",RevertToSelf,error %d", GetLastError());
        ExitProcess(ERROR_CANNOT_IMPERSONATE);
    }
    return opened;
}

DWORD AuthorizeRegRequest(HANDLE pipe, const RegRequest& request)
{
    LPCWSTR path = request.path;
    if (request.root != HKEY_LOCAL_MACHINE)
        return Refuse(L"root", path, (DWORD)(ULONG_PTR)request.root);
    WCHAR printer[CCH_REG_KEY_PATH];
    if (!GetDriverDataPrinter(path, printer))
        return Refuse(L"key", path, 0);
    DWORD nameSession = 0;
    if (!GetRedirectedSession(printer, &nameSession))
        return Refuse(L"name", path, 0);
    ULONG clientSession = 0;
    if (!GetPipeClientSession(pipe, &clientSession))
        return Refuse(L"GetNamedPipeClientSessionId", path, GetLastError());
    if (clientSession != nameSession)
        return Refuse(L"session", path, clientSession);
    DWORD detail = 0;
    if (!IsRedirectedPrinter(printer, &detail))
        return Refuse(L"printer", path, detail);
    if (!ClientCanOpen(pipe, printer, &detail))
        return Refuse(L"OpenPrinter as client", path, detail);
    // Nothing is touched for an image that would fail half-way.
    if (request.op == REG_OP_IMPORT && ValidateRegImage(path, request.image, request.imageSize) != 0)
        return Refuse(L"image", path, request.imageSize);
    return 0;
}
