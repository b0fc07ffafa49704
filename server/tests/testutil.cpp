#include "testutil.h"
#include <stdio.h>
#include <string.h>
#include <string>
#include "cipher.h"
#include "log.h"
#include "logon_double.h"
#include "regops.h"
#include "regtree.h"
#include "module.h"
#include "server.h"
#include "settings.h"

namespace svtest {

TestLog::TestLog(int sizeKb, int rotate, int level) : folder_(L"log")
{
    g_ModuleKind = MODULE_SERVER;
    g_szSection = L"Server";
    FormatStr(g_szUserName, ARRAYSIZE(g_szUserName), L"svtest%lu", GetCurrentProcessId());
    std::wstring ini = folder_.File(L"user.ini");
    lstrcpynW(g_szUserIni, ini.c_str(), MAX_PATH);
    WritePrivateProfileStringW(L"Server", L"LogFolder", folder_.path().c_str(), g_szUserIni);
    WritePrivateProfileStringW(L"Server", L"LogLevel", std::to_wstring(level).c_str(), g_szUserIni);
    WritePrivateProfileStringW(L"Server", L"LogSize", std::to_wstring(sizeKb).c_str(), g_szUserIni);
    WritePrivateProfileStringW(L"Server", L"LogRotate", std::to_wstring(rotate).c_str(), g_szUserIni);
    LogStart(nullptr);
}

TestLog::~TestLog()
{
    LogEnd();
    g_szUserIni[0] = 0;
}

std::vector<std::string> TestLog::Lines() const
{
    std::vector<std::string> lines;
    LPCWSTR path = GetLogFilePath();
    if (!path || !*path)
        return lines;
    FILE* f = _wfopen(path, L"rb");
    if (!f)
        return lines;
    char buf[4096];
    while (fgets(buf, sizeof buf, f)) {
        size_t n = strlen(buf);
        while (n && (buf[n - 1] == '\n' || buf[n - 1] == '\r'))
            buf[--n] = 0;
        lines.emplace_back(buf);
    }
    fclose(f);
    return lines;
}

// date,time,session,level,tag,operation,message...
static bool Matches(const std::string& line, const char* text, const char* func)
{
    size_t pos = 0;
    for (int i = 0; i < 5 && pos != std::string::npos; i++)
        pos = line.find(',', pos) + 1;
    if (pos == 0 || pos == std::string::npos)
        return false;
    size_t end = line.find(',', pos);
    if (end == std::string::npos)
        end = line.size();
    if (func && line.compare(pos, end - pos, func) != 0)
        return false;
    return line.find(text, end) != std::string::npos;
}

int TestLog::Count(const char* text, const char* func) const
{
    int n = 0;
    for (const auto& line : Lines())
        n += Matches(line, text, func);
    return n;
}

std::string TestLog::Dump() const
{
    std::string all;
    for (const auto& line : Lines())
        all += line + "\n";
    return all;
}

std::wstring TreeOf(const std::vector<BYTE>& image)
{
    ScratchKey scratch(L"treeof");
    std::wstring key = scratch.Sub(L"ref");
    if (ImportReg(HKEY_CURRENT_USER, key.c_str(), image.data(), (DWORD)image.size()) != 0)
        return L"<import failed>";
    return DumpTree(HKEY_CURRENT_USER, key);
}

TestEvents::TestEvents()
{
    g_hEvent[EVENT_EXIT] = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_hEvent[EVENT_TIMER] = CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

TestEvents::~TestEvents()
{
    for (HANDLE& h : g_hEvent) {
        if (h)
            CloseHandle(h);
        h = nullptr;
    }
}

void TestEvents::SetExit()
{
    SetEvent(g_hEvent[EVENT_EXIT]);
}

}  // namespace svtest
