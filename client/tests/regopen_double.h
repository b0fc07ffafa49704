// Mutation runs only: the add-in's registry opens, recorded. Forced into a
// test-only compile of the add-in's sources; no library that ships sees it.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

LONG WINAPI LoggedRegOpenKeyExW(HKEY root, LPCWSTR subkey, DWORD options, REGSAM sam, PHKEY result);
#define RegOpenKeyExW LoggedRegOpenKeyExW

// Every key asked for since the last call, as "HKLM\path" or "HKCU\path".
std::vector<std::wstring> TakeRegOpens();
