// Child processes of a test: programs built beside it, started with a given
// command line, their exit codes, and the windows they show.
#pragma once
#include <windows.h>
#include <string>

// A path the build gave as a Unix path (/work/...), as Wine's Z: drive sees it.
std::wstring WinPath(const char* unixPath);
// The tool's folder is the test's own folder.
std::wstring ToolPath(LPCWSTR exeName);
// Starts exeName with the command line as given (no program name), as the
// server and the account check do.
bool StartTool(LPCWSTR exeName, LPCWSTR commandLine, PROCESS_INFORMATION* pi);
// Starts the program at path (quoted) followed by a blank and args, as a
// shell would; with the child's own copy of this process's environment.
bool StartProgram(const std::wstring& path, const std::wstring& args, PROCESS_INFORMATION* pi);
// Runs it to the end; the exit code, or 0xDEAD when it did not end in time.
DWORD RunTool(LPCWSTR exeName, LPCWSTR commandLine);
DWORD WaitExit(const PROCESS_INFORMATION& pi, DWORD ms);

// Top-level window of the process with the given caption that is (or is not)
// a message box; NULL when none shows up within ms.
HWND WaitForWindow(DWORD pid, LPCWSTR caption, bool messageBox, DWORD ms);
std::wstring MessageBoxText(HWND box);
// Closes a message box with its OK button and waits until it is gone.
void DismissMessageBox(HWND box);
