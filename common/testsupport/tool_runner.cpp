#include "tool_runner.h"
#include <stdio.h>
#include <vector>

std::wstring WinPath(const char* unixPath)
{
    std::wstring p = L"Z:";
    for (const char* c = unixPath; *c; c++)
        p += *c == '/' ? L'\\' : (WCHAR)*c;
    return p;
}

std::wstring ToolPath(LPCWSTR exeName)
{
    WCHAR self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path = self;
    return path.substr(0, path.rfind(L'\\') + 1) + exeName;
}

// Under a loaded Wine a start can fail now and then while an earlier
// instance of the same program is still being torn down: try again.
static bool Start(LPCWSTR app, const std::wstring& commandLine, PROCESS_INFORMATION* pi)
{
    std::vector<WCHAR> line(commandLine.begin(), commandLine.end());
    line.push_back(0);
    STARTUPINFOW si = { sizeof si };
    for (int attempt = 0; attempt < 5; attempt++) {
        if (CreateProcessW(app, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, pi))
            return true;
        fprintf(stderr, "start: %ls, error %lu\n", app ? app : line.data(), GetLastError());
        Sleep(300);
    }
    return false;
}

bool StartTool(LPCWSTR exeName, LPCWSTR commandLine, PROCESS_INFORMATION* pi)
{
    return Start(ToolPath(exeName).c_str(), commandLine, pi);
}

bool StartProgram(const std::wstring& path, const std::wstring& args, PROCESS_INFORMATION* pi)
{
    return Start(nullptr, L"\"" + path + L"\"" + (args.empty() ? L"" : L" " + args), pi);
}

DWORD WaitExit(const PROCESS_INFORMATION& pi, DWORD ms)
{
    DWORD code = 0xDEAD;
    if (WaitForSingleObject(pi.hProcess, ms) == WAIT_OBJECT_0)
        GetExitCodeProcess(pi.hProcess, &code);
    return code;
}

DWORD RunTool(LPCWSTR exeName, LPCWSTR commandLine)
{
    PROCESS_INFORMATION pi;
    if (!StartTool(exeName, commandLine, &pi))
        return 0xBAD;
    DWORD code = WaitExit(pi, 30000);
    if (code == 0xDEAD)
        TerminateProcess(pi.hProcess, 0xDEAD);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return code;
}

struct FindArgs {
    DWORD pid;
    LPCWSTR caption;
    bool messageBox;
    HWND found;
};

static BOOL CALLBACK FindProc(HWND hwnd, LPARAM lParam)
{
    FindArgs* a = (FindArgs*)lParam;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    WCHAR text[256] = L"";
    if (pid != a->pid || !IsWindowVisible(hwnd) || !GetWindowTextW(hwnd, text, 256) || wcscmp(text, a->caption))
        return TRUE;
    // A message box carries its text in the static control 0xFFFF.
    bool isBox = GetDlgItem(hwnd, 0xFFFF) != nullptr;
    if (isBox == a->messageBox) {
        a->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

HWND WaitForWindow(DWORD pid, LPCWSTR caption, bool messageBox, DWORD ms)
{
    for (DWORD waited = 0;; waited += 50) {
        FindArgs a = {pid, caption, messageBox, nullptr};
        EnumWindows(FindProc, (LPARAM)&a);
        if (a.found || waited >= ms)
            return a.found;
        Sleep(50);
    }
}

std::wstring MessageBoxText(HWND box)
{
    // A box just found may not have its text set yet.
    WCHAR text[512] = L"";
    for (int i = 0; i < 20 && !GetDlgItemTextW(box, 0xFFFF, text, 512); i++)
        Sleep(50);
    return text;
}

void DismissMessageBox(HWND box)
{
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    for (int i = 0; i < 100 && IsWindow(box); i++)
        Sleep(50);
}
