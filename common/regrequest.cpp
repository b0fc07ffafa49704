#include "regrequest.h"
#include "log.h"
#include "raii.h"
#include <string.h>
#include <wchar.h>

static const WCHAR kPrintersKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\";
static const WCHAR kDriverDataKey[] = L"\\PrinterDriverData";

RegRequest::~RegRequest()
{
    if (image)
        HeapFree(GetProcessHeap(), 0, image);
}

BOOL IsPrinterDriverDataPath(LPCWSTR path)
{
    const size_t prefix = ARRAYSIZE(kPrintersKey) - 1, suffix = ARRAYSIZE(kDriverDataKey) - 1;
    size_t len = wcslen(path);
    if (len <= prefix + suffix || _wcsnicmp(path, kPrintersKey, prefix) != 0
        || _wcsicmp(path + len - suffix, kDriverDataKey) != 0)
        return FALSE;
    // Exactly one printer name between the two, without a backslash of its own.
    for (size_t i = prefix; i < len - suffix; i++)
        if (path[i] == L'\\')
            return FALSE;
    return IsValidRegKeyPath(path);
}

BOOL GetDriverDataPrinter(LPCWSTR path, LPWSTR name)
{
    name[0] = 0;
    if (!IsPrinterDriverDataPath(path))
        return FALSE;
    const size_t prefix = ARRAYSIZE(kPrintersKey) - 1, suffix = ARRAYSIZE(kDriverDataKey) - 1;
    size_t chars = wcslen(path) - prefix - suffix;   // a part of a valid path: it fits
    memcpy(name, path + prefix, chars * sizeof(WCHAR));
    name[chars] = 0;
    return TRUE;
}

DWORD ReadRegRequestFrom(const RegRequestSource& source, RegRequest* request)
{
    // header (24 bytes)
    REGREQUESTHEADER header;
    DWORD status = source.read(source.context, &header, sizeof header);
    if (status != 0)
        return status;
    if (header.cbPath == 0 || (header.dwOperation == REG_OP_IMPORT) != (header.cbData != 0))
        return REG_STATUS_BAD_ARGUMENT;
    if (header.dwOperation > REG_OP_RESTORE)
        return REG_STATUS_BAD_ARGUMENT;
    if (header.cbPath % sizeof(WCHAR) || header.cbPath > sizeof request->path)
        return REG_STATUS_BAD_ARGUMENT;
    BOOL withImage = header.dwOperation == REG_OP_IMPORT;
    // Never allocate more than the source can hold; a source of known size
    // holds exactly the request.
    ULONGLONG announced = sizeof header + (ULONGLONG)header.cbPath + header.cbData;
    if ((withImage && header.cbData > source.imageMax) || source.total < announced
        || (source.total != MAXULONGLONG && source.total != announced))
        return REG_STATUS_BAD_ARGUMENT;

    // path (cbPath bytes, UTF-16LE with its NUL)
    memset(request->path, 0, sizeof request->path);
    status = source.read(source.context, request->path, header.cbPath);
    if (status != 0)
        return status;
    if (wcsnlen(request->path, header.cbPath / sizeof(WCHAR)) == header.cbPath / sizeof(WCHAR))
        return REG_STATUS_BAD_ARGUMENT;   // no NUL inside the path size
    request->op = header.dwOperation;
    request->root = (HKEY)(ULONG_PTR)header.qwRootKey;
    if (withImage) {
        // image (cbData bytes)
        request->image = (BYTE*)HeapAlloc(GetProcessHeap(), 0, header.cbData);
        if (!request->image)
            return ERROR_NOT_ENOUGH_MEMORY;
        request->imageSize = header.cbData;
        status = source.read(source.context, request->image, header.cbData);
    }
    // One request per source: anything after its end makes it malformed.
    if (status == 0 && source.more && source.more(source.context))
        return REG_STATUS_BAD_ARGUMENT;
    return status;
}

// The printer's own key is opened, never created: a printer that the spooler
// removed meanwhile has no key to write under, and the operations below work
// beneath this handle only, so a key deleted after the open takes every
// later write with it (ERROR_KEY_DELETED) instead of leaving an orphan.
DWORD PerformRegRequest(const RegRequest& request)
{
    if (request.root != HKEY_LOCAL_MACHINE || !IsPrinterDriverDataPath(request.path) || request.op > REG_OP_RESTORE)
        return REG_STATUS_BAD_ARGUMENT;
    // The image's limits are those of the whole path, not of the relative one.
    if (request.op == REG_OP_IMPORT && ValidateRegImage(request.path, request.image, request.imageSize) != 0)
        return REG_STATUS_BAD_ARGUMENT;
    WCHAR printerKey[CCH_REG_KEY_PATH];
    size_t chars = wcslen(request.path) - (ARRAYSIZE(kDriverDataKey) - 1);
    memcpy(printerKey, request.path, chars * sizeof(WCHAR));
    printerKey[chars] = 0;
    UniqueKey printer;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, printerKey, 0, KEY_ALL_ACCESS, printer.put());
    if (status != ERROR_SUCCESS) {
        LogPrintf(LOG_W, L"PerformRegRequest", L",RegOpenKeyEx,%s,error %d", printerKey, status);
        return status == ERROR_FILE_NOT_FOUND ? ERROR_INVALID_PRINTER_NAME : (DWORD)status;
    }
    LPCWSTR driverData = kDriverDataKey + 1;   // relative to the printer's key
    switch (request.op) {
    case REG_OP_IMPORT:
        return ImportReg(printer.get(), driverData, request.image, request.imageSize);
    case REG_OP_DELETE_BACKUP:
        return DeleteBackupReg(printer.get(), driverData);
    case REG_OP_RESTORE:
        return RestoreReg(printer.get(), driverData);
    }
    return REG_STATUS_BAD_ARGUMENT;
}
