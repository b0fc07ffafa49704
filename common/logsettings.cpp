// The log's own settings: read from and written to the per-user settings
// file through the settings store, checked and repaired, and the start of
// the log that reads them. The writer itself (log.cpp) knows nothing of the
// settings store, which logs through it.
#include "log.h"
#include "module.h"
#include "settings.h"
#include <shlobj.h>
#include <shlwapi.h>
#include <strsafe.h>

namespace {

void DefaultLogFolder(LPWSTR folder)
{
    WCHAR base[MAX_PATH] = L"";
    folder[0] = 0;
    if (!SHGetSpecialFolderPathW(nullptr, base, CSIDL_LOCAL_APPDATA, TRUE))
        return;
    if (FAILED(StringCchPrintfW(folder, MAX_PATH, L"%s%s", base, LOG_SUBFOLDER))) {
        folder[0] = 0;
        return;
    }
    CreateFolder(folder);
}

BOOL InRange(int v, int lo, int hi) { return v >= lo && v <= hi; }

}  // namespace

UINT ConfirmLogValues(const LogValues* v, BOOL checkWritable)
{
    LogScope scope(L"ConfirmLogSettings");
    if (checkWritable && !IsWritable(v->LogFolder)) {
        LogPrintf(LOG_W, L"ConfirmLogSettings", L",non-writable,%s", L"LogFolder");
        return 10002;
    }
    if (!InRange(v->LogSize, LOGSIZE_MIN, LOGSIZE_MAX)) {
        LogPrintf(LOG_W, L"ConfirmLogSettings", L",invalid value,%s,%d", L"LogSize", v->LogSize);
        return 10003;
    }
    if (!InRange(v->LogRotate, LOGROTATE_MIN, LOGROTATE_MAX)) {
        LogPrintf(LOG_W, L"ConfirmLogSettings", L",invalid value,%s,%d", L"LogRotate", v->LogRotate);
        return 10004;
    }
    if (!InRange(v->LogLevel, 0, LOGLEVEL_COUNT - 1)) {
        LogPrintf(LOG_W, L"ConfirmLogSettings", L",invalid value,%s,%d", L"LogLevel", v->LogLevel);
        return IDS_LOGSETTING_BAD_LEVEL;
    }
    return 0;
}

UINT ConfirmLogSettings(const LogSettings* s, BOOL checkWritable)
{
    LogValues v;
    lstrcpynW(v.LogFolder, s->LogFolder, MAX_PATH);
    v.LogSize = s->LogSize;
    v.LogRotate = s->LogRotate;
    v.LogLevel = s->LogLevel;
    return ConfirmLogValues(&v, checkWritable);
}

void RepairLogValues(LogValues* v, LPCWSTR defaultFolder, BOOL checkWritable)
{
    // Once the folder has fallen back to the default it is accepted as it is:
    // if even the default cannot be written, the lines are simply lost.
    BOOL folderRepaired = FALSE;
    for (;;) {
        switch (ConfirmLogValues(v, checkWritable && !folderRepaired)) {
        case 0:
            return;
        case 10002:
            lstrcpynW(v->LogFolder, defaultFolder, MAX_PATH);
            folderRepaired = TRUE;
            break;
        case 10003: v->LogSize = LOGSIZE_DEFAULT; break;
        case 10004: v->LogRotate = LOGROTATE_DEFAULT; break;
        default: v->LogLevel = LOGLEVEL_DEFAULT; break;
        }
    }
}

void ReadLogSettings(LogSettings* settings, LPWSTR logPath, BOOL checkWritable, BOOL defaults)
{
    LogScope scope(L"ReadLogSettings");
    WCHAR defaultFolder[MAX_PATH];
    DefaultLogFolder(defaultFolder);

    LogLock hold;
    LogValues v;
    if (defaults) {
        lstrcpynW(v.LogFolder, defaultFolder, MAX_PATH);
        v.LogSize = LOGSIZE_DEFAULT;
        v.LogRotate = LOGROTATE_DEFAULT;
        v.LogLevel = LOGLEVEL_DEFAULT;
    } else {
        GetUserProfileString(defaultFolder, v.LogFolder);
        v.LogSize = GetUserProfileInt(L"LogSize", LOGSIZE_DEFAULT);
        v.LogRotate = GetUserProfileInt(L"LogRotate", LOGROTATE_DEFAULT);
        v.LogLevel = GetUserProfileInt(L"LogLevel", LOGLEVEL_DEFAULT);
        RepairLogValues(&v, defaultFolder, checkWritable);
    }
    lstrcpynW(settings->LogFolder, v.LogFolder, MAX_PATH);
    settings->LogSize = (WORD)v.LogSize;
    settings->LogRotate = (WORD)v.LogRotate;
    settings->LogLevel = (WORD)v.LogLevel;

    if (logPath) {
        WCHAR baseName[MAX_PATH];
        GetLogBaseName(baseName);
        logPath[0] = 0;
        // A path that does not fit would name some other file, and no folder
        // at all would put the log in the root of the current drive: log
        // nothing then.
        if (baseName[0] && settings->LogFolder[0] &&
            FAILED(StringCchPrintfW(logPath, MAX_PATH, L"%s\\%s%s", settings->LogFolder, baseName, L".log")))
            logPath[0] = 0;
    }
}

void WriteLogSettings(const LogSettings* settings)
{
    LogScope scope(L"WriteLogSettings");
    WCHAR folder[MAX_PATH];
    if (!PathCanonicalizeW(folder, settings->LogFolder))
        lstrcpynW(folder, settings->LogFolder, MAX_PATH);
    PathRemoveBackslashW(folder);
    {
        LogLock hold;
        WriteUserProfileString(folder);
        WriteUserProfileInt(L"LogSize", settings->LogSize);
        WriteUserProfileInt(L"LogRotate", settings->LogRotate);
        WriteUserProfileInt(L"LogLevel", settings->LogLevel);
    }
    LogPrintf(64, L"WriteLogSettings", L"Change LogSetting");
    LogPrintf(32, L"WriteLogSettings", L",%s,%s", L"LogFolder", folder);
    LogPrintf(32, L"WriteLogSettings", L",%s,%d", L"LogSize", settings->LogSize);
    LogPrintf(32, L"WriteLogSettings", L",%s,%d", L"LogRotate", settings->LogRotate);
    LogPrintf(32, L"WriteLogSettings", L",%s,%d", L"LogLevel", settings->LogLevel);
}

void LogStart(LPCWSTR connection)
{
    BOOL client = g_ModuleKind == MODULE_CLIENT;
    WCHAR mutexName[MAX_PATH], baseName[MAX_PATH];
    FormatStr(mutexName, MAX_PATH, client ? L"WRITE_CL_%s" : L"WRITE_SV_%s", g_szUserName);
    if (client)
        FormatStr(baseName, MAX_PATH, L"Quorvane_CL(%s)(%s)", g_szUserName, connection ? connection : L"");
    else
        FormatStr(baseName, MAX_PATH, L"Quorvane_SV(%s)", g_szUserName);
    MakeFileNameSafe(baseName);

    LogSwitchTo(mutexName, baseName);
    LogSettings settings;
    WCHAR path[MAX_PATH];
    ReadLogSettings(&settings, path, TRUE, FALSE);
    LogApplySettings(&settings, path);
    LogPrintf(255, L"LogStart", L"----------------,----------------,----------------,----------------");
}

