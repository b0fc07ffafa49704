// Log lines per second at the most detailed setting, with rotation, into a
// scratch folder: what one LogPrintf costs when every line is written, and
// what it costs when the detail setting filters it out.
#include <stdio.h>
#include "log.h"
#include "module.h"
#include "settings.h"
#include "scratch.h"

static double LinesPerSecond(const ScratchFolder& dir, int logSizeKb, int rotate, int lines, int detail = 5)
{
    std::wstring ini = dir / (L"bench" + std::to_wstring(logSizeKb) + L".ini");
    lstrcpynW(g_szUserIni, ini.c_str(), MAX_PATH);
    WritePrivateProfileStringW(L"Server", L"LogFolder", dir.path().c_str(), ini.c_str());
    WritePrivateProfileStringW(L"Server", L"LogLevel", std::to_wstring(detail).c_str(), ini.c_str());
    WritePrivateProfileStringW(L"Server", L"LogSize", std::to_wstring(logSizeKb).c_str(), ini.c_str());
    WritePrivateProfileStringW(L"Server", L"LogRotate", std::to_wstring(rotate).c_str(), ini.c_str());
    LogStart(nullptr);
    LARGE_INTEGER f, t0, t1;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t0);
    for (int i = 0; i < lines; i++)
        LogPrintf(0, L"BenchLog", L",%s,%d,%p", L"WriteBuf", i, &i);
    QueryPerformanceCounter(&t1);
    LogEnd();
    return lines * (double)f.QuadPart / (double)(t1.QuadPart - t0.QuadPart);
}

int wmain()
{
    ScratchFolder dir;
    g_ModuleKind = MODULE_SERVER;
    g_szSection = L"Server";
    lstrcpynW(g_szUserName, ScratchName(L"bench").c_str(), ARRAYSIZE(g_szUserName));
    const int lines = 20000;
    printf("bench_log: %d lines, detail 5 (all), LogSize 1024 KB, LogRotate 5: %.0f lines/s\n",
           lines, LinesPerSecond(dir, 1024, 5, lines));
    printf("bench_log: %d lines, detail 5 (all), LogSize 64 KB, LogRotate 5 (a rotation every ~900 lines): %.0f lines/s\n",
           lines, LinesPerSecond(dir, 64, 5, lines));
    printf("bench_log: %d lines, detail 5 (all), LogSize 1 KB, LogRotate 255 (a rotation every ~14 lines): %.0f lines/s\n",
           2000, LinesPerSecond(dir, 1, 255, 2000));
    printf("bench_log: %d lines, detail 3 (none): every line filtered out: %.0f lines/s\n",
           1000000, LinesPerSecond(dir, 1024, 5, 1000000, 3));
    return 0;
}
