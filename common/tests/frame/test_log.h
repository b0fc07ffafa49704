// A private logging sandbox for one test process: its own user name, per-user
// settings file and log folder under the temporary folder, so that processes
// running side by side never share a file, a key or a named object.
#pragma once
#include <windows.h>

// Sets the user name (prefix + process id), the settings file and its log
// keys (folder = the sandbox), and starts logging with that detail level.
void StartSandboxLog(LPCWSTR userPrefix, int level);
// Ends logging and removes the sandbox's files.
void EndSandboxLog();
LPCWSTR SandboxFolder();
void WriteSandboxKey(LPCWSTR key, int value);
