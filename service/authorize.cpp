// The request's word is never taken: the printer must be a redirected one of
// the asking client's own session (the rules the administrator tool's worker
// follows too), and the client's own token must be granted the use of it by
// the printer's security descriptor. The client opens the pipe at
// identification level, so its token can be checked but never used: a
// pipe that somebody else made could not act as the client either.
#include "service.h"
#include "log.h"
#include "raii.h"
#include <winspool.h>

static DWORD Refuse(LPCWSTR reason, LPCWSTR path, DWORD detail)
{
    LogPrintf(LOG_W, L"AuthorizeRegRequest", L",refused,%s,%s,%d", reason, path, detail);
    return REG_STATUS_BAD_ARGUMENT;
}

// The printer's security descriptor, read as the service (process heap).
static void* GetPrinterSecurity(LPCWSTR name, DWORD* error)
{
    UniquePrinter printer;
    PRINTER_DEFAULTSW access = {nullptr, nullptr, READ_CONTROL};
    if (!OpenPrinterW((LPWSTR)name, printer.put(), &access)) {
        *error = GetLastError();
        return nullptr;
    }
    DWORD needed = 0;
    GetPrinterW(printer.get(), 3, nullptr, 0, &needed);
    UniqueHeapBlock info(needed ? HeapAlloc(GetProcessHeap(), 0, needed) : nullptr);
    if (!info || !GetPrinterW(printer.get(), 3, (BYTE*)info.get(), needed, &needed)) {
        *error = info ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    if (!((const PRINTER_INFO_3*)info.get())->pSecurityDescriptor) {
        *error = ERROR_INVALID_SECURITY_DESCR;
        return nullptr;
    }
    return info.release();
}

// The client's token, as an identification-level open gives it.
static BOOL GetClientToken(HANDLE pipe, UniqueHandle* token, DWORD* error)
{
    if (!ImpersonateNamedPipeClient(pipe)) {
        *error = GetLastError();
        return FALSE;
    }
    BOOL opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token->put());
    *error = opened ? 0 : GetLastError();
    if (!RevertToSelf()) {
        // Going on as the client would do everything after with its
        // identity: nothing is safe to do any more.
        LogPrintf(LOG_E, L"AuthorizeRegRequest", L",RevertToSelf,error %d", GetLastError());
        ExitProcess(ERROR_CANNOT_IMPERSONATE);
    }
    return opened;
}

// TRUE when the printer's descriptor grants the client the use of it.
static BOOL ClientMayUse(HANDLE pipe, LPCWSTR name, DWORD* detail)
{
    UniqueHeapBlock info(GetPrinterSecurity(name, detail));
    UniqueHandle token;
    if (!info || !GetClientToken(pipe, &token, detail))
        return FALSE;
    GENERIC_MAPPING mapping = {PRINTER_READ, PRINTER_WRITE, PRINTER_EXECUTE, PRINTER_ALL_ACCESS};
    PRIVILEGE_SET privileges = {};
    DWORD privilegesSize = sizeof privileges, granted = 0;
    BOOL allowed = FALSE;
    if (!AccessCheck(((const PRINTER_INFO_3*)info.get())->pSecurityDescriptor, token.get(), PRINTER_ACCESS_USE,
                     &mapping, &privileges, &privilegesSize, &granted, &allowed)) {
        *detail = GetLastError();
        return FALSE;
    }
    *detail = granted;
    return allowed;
}

DWORD AuthorizeRegRequest(HANDLE pipe, const RegRequest& request)
{
    ULONG clientSession = 0;
    if (!GetPipeClientSession(pipe, &clientSession))
        return Refuse(L"GetNamedPipeClientSessionId", request.path, GetLastError());
    WCHAR printer[CCH_REG_KEY_PATH];
    RegRequestRefusal why = {L"", 0};
    if (CheckRegRequest(request, clientSession, printer, &why) != 0)
        return Refuse(why.reason, request.path, why.detail);
    DWORD detail = 0;
    if (!ClientMayUse(pipe, printer, &detail))
        return Refuse(L"access", request.path, detail);
    return 0;
}
