// Test builds only: a process without administrator rights, which Wine never
// has (its IsUserAnAdmin always answers yes).
#define _SHELL32_
#include <windows.h>
#include <shlobj.h>

extern "C" BOOL WINAPI IsUserAnAdmin(void)
{
    return FALSE;
}

extern "C" {
void* __imp_IsUserAnAdmin = (void*)&IsUserAnAdmin;
}
