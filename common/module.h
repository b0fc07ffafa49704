// Identity of the running module, set once at its start-up.
#pragma once
#include <windows.h>

enum ModuleKind { MODULE_SERVER, MODULE_CLIENT, MODULE_ADMIN };

extern HINSTANCE g_hInst;          // the module whose resources are loaded (exe or the client DLL)
extern ModuleKind g_ModuleKind;    // decides the few texts that differ between modules
extern WCHAR g_szUserName[256];    // GetUserNameW at start-up

// Bounded wide formatting: cuts what does not fit and always terminates.
int FormatStr(LPWSTR buf, size_t cch, LPCWSTR fmt, ...);
int FormatStrV(LPWSTR buf, size_t cch, LPCWSTR fmt, va_list args);

// Deletes the files of `folder` (with its trailing backslash) that match
// `pattern` and that `ours` (when given) recognises as left behind by this
// system; a file another process still holds stays. Returns how many went.
int DeleteLeftoverFiles(LPCWSTR folder, LPCWSTR pattern, BOOL (*ours)(LPCWSTR path) = nullptr);
