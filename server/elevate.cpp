#include "elevate.h"
#include "log.h"

DWORD RunElevatedRegOperation(DWORD op, HKEY root, LPCWSTR path, const BYTE* image, DWORD size)
{
    LogScope scope(L"RunElevatedRegOperation", 32);
    LogPrintf(64, L"RunElevatedRegOperation", L",%d,%s,%d", op, path ? path : L"", size);
    DWORD status = 0;
    if (RunServiceRegOperation(op, root, path, image, size, &status))
        return status;
    return RunAdminToolRegOperation(op, root, path, image, size);
}
