// A rename fails with ERROR_ACCESS_DENIED when its source ends with the text
// of the environment variable QV_SIM_FAIL_MOVE (for example ".tmp").
#include <windows.h>
#include <shlwapi.h>

BOOL WINAPI SimMoveFileW(LPCWSTR from, LPCWSTR to)
{
    WCHAR suffix[64];
    DWORD n = GetEnvironmentVariableW(L"QV_SIM_FAIL_MOVE", suffix, ARRAYSIZE(suffix));
    size_t len = from ? (size_t)lstrlenW(from) : 0;
    if (n && n < ARRAYSIZE(suffix) && len >= n && lstrcmpiW(from + len - n, suffix) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return MoveFileW(from, to);
}
