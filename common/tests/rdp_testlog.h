// Logging into a folder of this test process's own, and reading it back.
#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "log.h"
#include "module.h"
#include "settings.h"

class TestLog {
public:
    // Starts the client-side log at full detail in %TEMP%\qvrdp_<pid>.
    TestLog()
    {
        WCHAR temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        FormatStr(folder_, MAX_PATH, L"%sqvrdp_%lu", temp, GetCurrentProcessId());
        CreateDirectoryW(folder_, nullptr);
        FormatStr(g_szUserIni, MAX_PATH, L"%s\\user.ini", folder_);
        g_ModuleKind = MODULE_CLIENT;
        g_szSection = L"Client";
        if (!g_szUserName[0])
            lstrcpyW(g_szUserName, L"rdptest");
        WritePrivateProfileStringW(g_szSection, L"LogFolder", folder_, g_szUserIni);
        WritePrivateProfileStringW(g_szSection, L"LogLevel", L"5", g_szUserIni);
        WritePrivateProfileStringW(g_szSection, L"LogSize", L"10240", g_szUserIni);
        LogStart(L"rdptest");
    }
    ~TestLog()
    {
        LogEnd();
        WCHAR pattern[MAX_PATH], path[MAX_PATH];
        FormatStr(pattern, MAX_PATH, L"%s\\*", folder_);
        WIN32_FIND_DATAW fd;
        HANDLE h = FindFirstFileW(pattern, &fd);
        if (h != INVALID_HANDLE_VALUE) {
            do {
                FormatStr(path, MAX_PATH, L"%s\\%s", folder_, fd.cFileName);
                DeleteFileW(path);
            } while (FindNextFileW(h, &fd));
            FindClose(h);
        }
        RemoveDirectoryW(folder_);
        g_szUserIni[0] = 0;
    }
    TestLog(const TestLog&) = delete;
    TestLog& operator=(const TestLog&) = delete;

    // The whole current log file (ASCII is all the tests look for).
    std::string Text() const
    {
        std::string text;
        HANDLE h = CreateFileW(GetLogFilePath(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return text;
        char buf[4096];
        DWORD got;
        while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got)
            text.append(buf, got);
        CloseHandle(h);
        return text;
    }
    bool Has(const std::string& part) const { return Text().find(part) != std::string::npos; }
    size_t Count(const std::string& part) const
    {
        std::string text = Text();
        size_t n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            n++;
        return n;
    }

private:
    WCHAR folder_[MAX_PATH];
};
