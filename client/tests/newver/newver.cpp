#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}

// The update accepts only a library that the Remote Desktop client could load as this add-in.
extern "C" __declspec(dllexport) BOOL WINAPI VirtualChannelEntry(void*)
{
    return FALSE;
}
