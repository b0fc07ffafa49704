// The elevated registry worker. It runs with administrator rights on a file
// that lies in a user-writable folder, so it takes nothing from the file on
// trust: every size is checked against the file, and only a printer's driver
// data under HKEY_LOCAL_MACHINE may be touched.
#include "admin.h"
#include "raii.h"
#include "regops.h"
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

// Reads exactly size bytes: 0, the read's error, or REG_STATUS_BAD_ARGUMENT
// when the file ends first.
static DWORD ReadExactly(HANDLE file, void* buffer, DWORD size)
{
    DWORD got = 0;
    if (!ReadFile(file, buffer, size, &got, nullptr))
        return GetLastError();
    return got == size ? 0 : REG_STATUS_BAD_ARGUMENT;
}

DWORD ReadRegRequest(LPCWSTR file, RegRequest* request)
{
    UniqueFile h(CreateFileW(file, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h)
        return GetLastError();
    REGREQUESTHEADER header;
    DWORD status = ReadExactly(h.get(), &header, sizeof header);
    if (status != 0)
        return status;
    if (header.cbPath == 0 || (header.dwOperation == REG_OP_IMPORT && header.cbData == 0))
        return REG_STATUS_BAD_ARGUMENT;
    if (header.dwOperation > REG_OP_RESTORE)
        return REG_STATUS_BAD_ARGUMENT;
    if (header.cbPath % sizeof(WCHAR) || header.cbPath > sizeof request->path)
        return REG_STATUS_BAD_ARGUMENT;
    memset(request->path, 0, sizeof request->path);
    status = ReadExactly(h.get(), request->path, header.cbPath);
    if (status != 0)
        return status;
    if (wcsnlen(request->path, header.cbPath / sizeof(WCHAR)) == header.cbPath / sizeof(WCHAR))
        return REG_STATUS_BAD_ARGUMENT;   // no NUL inside the path size
    request->op = header.dwOperation;
    request->root = (HKEY)(ULONG_PTR)header.qwRootKey;
    if (header.dwOperation != REG_OP_IMPORT)
        return 0;

    // Never allocate more than the file can hold.
    LARGE_INTEGER fileSize;
    if (!GetFileSizeEx(h.get(), &fileSize))
        return GetLastError();
    if ((ULONGLONG)fileSize.QuadPart < sizeof header + (ULONGLONG)header.cbPath + header.cbData)
        return REG_STATUS_BAD_ARGUMENT;
    request->image = (BYTE*)HeapAlloc(GetProcessHeap(), 0, header.cbData);
    if (!request->image)
        return ERROR_NOT_ENOUGH_MEMORY;
    request->imageSize = header.cbData;
    return ReadExactly(h.get(), request->image, header.cbData);
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

DWORD ExecuteRequestFile(LPCWSTR path)
{
    RegRequest request;
    DWORD status = ReadRegRequest(path, &request);
    if (status != 0)
        return status;
    return PerformRegRequest(request);
}
