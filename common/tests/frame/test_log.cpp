#include "test_log.h"
#include "frame.h"
#include "log.h"
#include "module.h"
#include "settings.h"

namespace {
WCHAR s_folder[MAX_PATH];

void RemoveSandbox()
{
    WCHAR pattern[MAX_PATH], path[MAX_PATH];
    FormatStr(pattern, MAX_PATH, L"%s\\*", s_folder);
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW(pattern, &fd);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            FormatStr(path, MAX_PATH, L"%s\\%s", s_folder, fd.cFileName);
            DeleteFileW(path);
        } while (FindNextFileW(find, &fd));
        FindClose(find);
    }
    RemoveDirectoryW(s_folder);
}
}  // namespace

LPCWSTR SandboxFolder() { return s_folder; }

void WriteSandboxKey(LPCWSTR key, int value)
{
    WCHAR text[16];
    FormatStr(text, 16, L"%d", value);
    WritePrivateProfileStringW(g_szSection, key, text, g_szUserIni);
}

void StartSandboxLog(LPCWSTR userPrefix, int level)
{
    FormatStr(g_szUserName, ARRAYSIZE(g_szUserName), L"%s%lu", userPrefix, GetCurrentProcessId());
    WCHAR temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    FormatStr(s_folder, MAX_PATH, L"%sqvframe_%s", temp, g_szUserName);
    CreateDirectoryW(s_folder, nullptr);
    FormatStr(g_szUserIni, MAX_PATH, L"%s\\Quorvane_%s.ini", s_folder, g_szUserName);
    g_szSection = g_ModuleKind == MODULE_SERVER ? L"Server" : L"Client";
    WritePrivateProfileStringW(g_szSection, L"LogFolder", s_folder, g_szUserIni);
    WriteSandboxKey(L"LogSize", LOGSIZE_DEFAULT);
    WriteSandboxKey(L"LogRotate", LOGROTATE_DEFAULT);
    WriteSandboxKey(L"LogLevel", level);
    LogStart(L"");
}

void EndSandboxLog()
{
    LogEnd();
    RemoveSandbox();
}
