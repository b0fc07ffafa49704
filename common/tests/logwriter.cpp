// Helper for the log tests: one process of a user that logs numbered lines.
//   logwriter <per-user settings file> <user name> <writer id> <count>
#include <stdlib.h>
#include "log.h"
#include "module.h"
#include "settings.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc != 5)
        return 2;
    g_ModuleKind = MODULE_SERVER;
    g_szSection = L"Server";
    lstrcpynW(g_szUserIni, argv[1], MAX_PATH);
    lstrcpynW(g_szUserName, argv[2], ARRAYSIZE(g_szUserName));
    int count = _wtoi(argv[4]);
    LogStart(nullptr);
    for (int i = 0; i < count; i++)
        LogPrintf(64, L"LogWriter", L",%s,%d,%s", argv[3], i, L"0123456789abcdefghijklmnopqrstuvwxyz");
    LogEnd();
    return 0;
}
