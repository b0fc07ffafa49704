// Records the frame's Shell_NotifyIconW calls (and passes them on to the
// real function), so that tests see exactly what the shell was told.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

struct ShellCall {
    DWORD message;       // NIM_ADD, NIM_MODIFY, NIM_DELETE
    HWND hWnd;
    UINT flags;
    HICON icon;
    std::wstring tip;    // as passed, only when NIF_TIP is set
};

std::vector<ShellCall> ShellCalls();
void ClearShellCalls();
