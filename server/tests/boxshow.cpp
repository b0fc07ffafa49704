// Shows one of the watch thread's message boxes as the module shows it, for
// screenshots:  qv_boxshow.exe <message id> [printer name]
#include <windows.h>
#include <stdlib.h>
#include "module.h"
#include "resource.h"
#include "server.h"
#include "watchbox.h"

// Ends the box after the shot, as an exit request would.
static DWORD WINAPI EndLater(LPVOID)
{
    Sleep(7000);
    SetEvent(g_hEvent[EVENT_EXIT]);
    EndWatchMessageBoxes();
    return 0;
}

int wmain(int argc, wchar_t** argv)
{
    g_hInst = GetModuleHandleW(nullptr);
    g_ModuleKind = MODULE_SERVER;
    UINT id = argc > 1 ? (UINT)_wtoi(argv[1]) : IDS_UPDATE_ASK;
    WCHAR format[512], text[512];
    LoadStringW(g_hInst, id, format, ARRAYSIZE(format));
    FormatStr(text, ARRAYSIZE(text), format, argc > 2 ? argv[2] : L"");
    UINT style = id == IDS_UPDATE_ASK ? MB_ICONQUESTION : id == IDS_UPDATE_DONE ? MB_ICONINFORMATION : MB_ICONEXCLAMATION;
    g_hEvent[EVENT_EXIT] = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(CreateThread(nullptr, 0, EndLater, nullptr, 0, nullptr));
    WatchMessageBox(text, style);
    return 0;
}
