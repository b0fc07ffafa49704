#include "regrequest.h"
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
    if (header.cbPath == 0 || (header.dwOperation == REG_OP_IMPORT && header.cbData == 0))
        return REG_STATUS_BAD_ARGUMENT;
    if (header.dwOperation > REG_OP_RESTORE)
        return REG_STATUS_BAD_ARGUMENT;
    if (header.cbPath % sizeof(WCHAR) || header.cbPath > sizeof request->path)
        return REG_STATUS_BAD_ARGUMENT;
    BOOL withImage = header.dwOperation == REG_OP_IMPORT;
    // Never allocate more than the source can hold.
    if (withImage && (header.cbData > source.imageMax
                      || source.total < sizeof header + (ULONGLONG)header.cbPath + header.cbData))
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
    if (!withImage)
        return 0;

    // image (cbData bytes)
    request->image = (BYTE*)HeapAlloc(GetProcessHeap(), 0, header.cbData);
    if (!request->image)
        return ERROR_NOT_ENOUGH_MEMORY;
    request->imageSize = header.cbData;
    return source.read(source.context, request->image, header.cbData);
}

DWORD PerformRegRequest(const RegRequest& request)
{
    if (request.root != HKEY_LOCAL_MACHINE || !IsPrinterDriverDataPath(request.path))
        return REG_STATUS_BAD_ARGUMENT;
    switch (request.op) {
    case REG_OP_IMPORT:
        return ImportReg(request.root, request.path, request.image, request.imageSize);
    case REG_OP_DELETE_BACKUP:
        return DeleteBackupReg(request.root, request.path);
    case REG_OP_RESTORE:
        return RestoreReg(request.root, request.path);
    }
    return REG_STATUS_BAD_ARGUMENT;
}
