// The elevated registry worker. It runs with administrator rights on a file
// that lies in a user-writable folder, so it takes nothing from the file on
// trust: every size is checked against the file, and only a printer's driver
// data under HKEY_LOCAL_MACHINE may be touched.
#include "admin.h"
#include "raii.h"

// Reads exactly size bytes: 0, the read's error, or REG_STATUS_BAD_ARGUMENT
// when the file ends first.
static DWORD ReadFileExactly(void* file, void* buffer, DWORD size)
{
    DWORD got = 0;
    if (!ReadFile((HANDLE)file, buffer, size, &got, nullptr))
        return GetLastError();
    return got == size ? 0 : REG_STATUS_BAD_ARGUMENT;
}

DWORD ReadRegRequest(LPCWSTR file, RegRequest* request)
{
    UniqueFile h(CreateFileW(file, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h)
        return GetLastError();
    LARGE_INTEGER fileSize;
    if (!GetFileSizeEx(h.get(), &fileSize))
        return GetLastError();
    RegRequestSource source = {ReadFileExactly, h.get(), (ULONGLONG)fileSize.QuadPart, MAXDWORD};
    return ReadRegRequestFrom(source, request);
}

DWORD ExecuteRequestFile(LPCWSTR path)
{
    RegRequest request;
    DWORD status = ReadRegRequest(path, &request);
    if (status != 0)
        return status;
    return PerformRegRequest(request);
}
