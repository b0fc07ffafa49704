// A value named FailOnWrite cannot be written: lets the tests break an import
// half way. Every other write goes to the real registry.
#define _ADVAPI32_
#include <windows.h>
#include <wchar.h>

typedef LSTATUS (WINAPI *SetValueFn)(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD);

extern "C" LSTATUS WINAPI RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type,
                                         const BYTE* data, DWORD size)
{
    if (name && wcscmp(name, L"FailOnWrite") == 0)
        return ERROR_ACCESS_DENIED;
    static SetValueFn real = (SetValueFn)(void*)GetProcAddress(GetModuleHandleW(L"advapi32.dll"), "RegSetValueExW");
    return real(key, name, reserved, type, data, size);
}

extern "C" {
void* __imp_RegSetValueExW = (void*)&RegSetValueExW;
}
