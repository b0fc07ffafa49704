// The client's log at full detail in a scratch folder of this process's own,
// read back as text (the tests look only for ASCII).
#pragma once
#include <string>
#include "log.h"
#include "module.h"
#include "scratch.h"
#include "settings.h"

class TestLog {
public:
    TestLog()
    {
        lstrcpynW(g_szUserIni, (folder_ / L"user.ini").c_str(), MAX_PATH);
        g_ModuleKind = MODULE_CLIENT;
        g_szSection = L"Client";
        if (!g_szUserName[0])
            lstrcpyW(g_szUserName, L"rdptest");
        WritePrivateProfileStringW(g_szSection, L"LogFolder", folder_.path().c_str(), g_szUserIni);
        WritePrivateProfileStringW(g_szSection, L"LogLevel", L"5", g_szUserIni);
        WritePrivateProfileStringW(g_szSection, L"LogSize", L"10240", g_szUserIni);
        LogStart(L"rdptest");
    }
    ~TestLog()
    {
        LogEnd();
        g_szUserIni[0] = 0;
    }
    TestLog(const TestLog&) = delete;
    TestLog& operator=(const TestLog&) = delete;

    std::string Text() const { return ReadBytes(GetLogFilePath()); }
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
    ScratchFolder folder_;
};
