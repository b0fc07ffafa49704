// The elevated registry worker. It runs with administrator rights on a file
// that lies in a user-writable folder, so it takes nothing from the file on
// trust: every size is checked against the file, and only the driver data of
// a redirected printer of the session it was started in may be touched, by
// the same rules as the service's.
#include "admin.h"
#include "log.h"
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
    RegRequestSource source = {ReadFileExactly, h.get(), (ULONGLONG)fileSize.QuadPart, MAXDWORD, nullptr};
    return ReadRegRequestFrom(source, request);
}

// The server module starts the tool in its own session: that session is the
// caller's.
DWORD CheckWorkerRequest(const RegRequest& request)
{
    DWORD session = 0;
    if (!GetToolSession(&session))
        return GetLastError();
    WCHAR printer[CCH_REG_KEY_PATH];
    RegRequestRefusal why = {L"", 0};
    DWORD status = CheckRegRequest(request, session, printer, &why);
    if (status != 0)
        LogPrintf(LOG_W, L"ExecuteRequestFile", L",refused,%s,%s,%d", why.reason, request.path, why.detail);
    return status;
}

DWORD ExecuteRequestFile(LPCWSTR path)
{
    RegRequest request;
    DWORD status = ReadRegRequest(path, &request);
    if (status == 0)
        status = CheckWorkerRequest(request);
    if (status != 0)
        return status;
    return PerformRegRequest(request);
}
