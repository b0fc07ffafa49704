// One rule set for every way a request reaches HKEY_LOCAL_MACHINE, so that
// the service and the administrator tool can never disagree about what a
// caller may have written.
#include "regrequest.h"
#include "printername.h"
#include "raii.h"
#include <winspool.h>

static DWORD Refuse(RegRequestRefusal* why, LPCWSTR reason, DWORD detail)
{
    why->reason = reason;
    why->detail = detail;
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

DWORD CheckRegRequest(const RegRequest& request, DWORD session, LPWSTR printer, RegRequestRefusal* why)
{
    if (request.root != HKEY_LOCAL_MACHINE)
        return Refuse(why, L"root", (DWORD)(ULONG_PTR)request.root);
    if (!GetDriverDataPrinter(request.path, printer))
        return Refuse(why, L"key", 0);
    DWORD nameSession = 0;
    if (!GetRedirectedSession(printer, &nameSession))
        return Refuse(why, L"name", 0);
    if (nameSession != session)
        return Refuse(why, L"session", session);
    DWORD detail = 0;
    if (!IsRedirectedPrinter(printer, &detail))
        return Refuse(why, L"printer", detail);
    // Nothing is touched for an image that would fail half-way.
    if (request.op == REG_OP_IMPORT && ValidateRegImage(request.path, request.image, request.imageSize) != 0)
        return Refuse(why, L"image", request.imageSize);
    return 0;
}
