// Text log shared by the server and the client module: comma-separated lines,
// size-limited current file, numbered older files, detail filter.
#pragma once
#include <windows.h>
#include <stdarg.h>

// Log line code: level in bits 0-7, tag in bits 12-15.
#define LOG_TAG_E     0x1000
#define LOG_TAG_W     0x2000
#define LOG_TAG_ENTRY 0x3000
#define LOG_TAG_EXIT  0x4000
#define LOG_E   0x10FF   // error, level 255
#define LOG_W   0x20FF   // warning, level 255
#define LOG_IN  0x3000   // entry marker, level 0
#define LOG_OUT 0x4000   // exit marker, level 0

#define LOGSIZE_DEFAULT   1024
#define LOGSIZE_MIN       1
#define LOGSIZE_MAX       10240
#define LOGROTATE_DEFAULT 5
#define LOGROTATE_MIN     1
#define LOGROTATE_MAX     255
#define LOGLEVEL_DEFAULT  0
#define LOGLEVEL_COUNT    6
#define IDS_LOGSETTING_BAD_LEVEL 0xF000   // ConfirmLogSettings' answer for LogLevel

struct LogSettings {
    WCHAR LogFolder[MAX_PATH];
    WORD LogSize;     // KB
    WORD LogRotate;   // older files kept
    WORD LogLevel;    // detail setting 0..5
};

// Starts logging for the process (connection text: the client's server name, or empty/NULL).
void LogStart(LPCWSTR connection);
// Writes one line; returns the code. Never changes the thread's last error.
WORD LogPrintf(WORD code, LPCWSTR func, LPCWSTR fmt, ...);
// Starts logging into folder\baseName.log with the default size and
// rotation, for a program that has no user settings (the service).
void LogStartAt(LPCWSTR folder, LPCWSTR baseName, WORD logLevel);
void LogEnd();

void ReadLogSettings(LogSettings* settings, LPWSTR logPath /* MAX_PATH or NULL */,
                     BOOL checkWritable, BOOL defaults);
// 0, or 10002 / 10003 / 10004 / 0xF000 for the first invalid field.
UINT ConfirmLogSettings(const LogSettings* settings, BOOL checkWritable);
void WriteLogSettings(const LogSettings* settings);
void RotateLogFiles();

// The session column of every line.
void SetLogSession(DWORD session);
DWORD GetLogSession();
// Settings in force and current log file path (empty when logging is off).
const LogSettings* GetLogSettingsInForce();
LPCWSTR GetLogFilePath();
// The log mutex (NULL while logging is off); also guards the per-user log keys.
HANDLE GetLogMutex();
// Owns the log mutex while in scope (when logging is on).
class LogLock {
public:
    LogLock();
    ~LogLock();
    LogLock(const LogLock&) = delete;
    LogLock& operator=(const LogLock&) = delete;
private:
    void* ref_;
};

// The steps of LogStart that belong to the writer: the named mutex and base
// name of the new log with logging off, then the settings read for it.
void LogSwitchTo(LPCWSTR mutexName, LPCWSTR baseName);
void LogApplySettings(const LogSettings* settings, LPCWSTR path);
void GetLogBaseName(LPWSTR baseName /* MAX_PATH */);
// A connection text made fit for a file name (no separators, no stream).
void MakeFileNameSafe(LPWSTR name);

// Log values as read (from the settings file or a dialog) at their own width,
// before they are narrowed into a LogSettings record: 66560 must be refused,
// not taken as 1024.
struct LogValues {
    WCHAR LogFolder[MAX_PATH];
    int LogSize;
    int LogRotate;
    int LogLevel;
};
// ConfirmLogSettings on unnarrowed values: same checks, lines and answers.
UINT ConfirmLogValues(const LogValues* values, BOOL checkWritable);
// Replaces invalid fields by their defaults until ConfirmLogValues accepts
// them; ends even when the default folder itself is not writable.
void RepairLogValues(LogValues* values, LPCWSTR defaultFolder, BOOL checkWritable);

// The pieces of one log line, without any file or lock: the wide line
// "date,time,session,level,tag,func,message\r\n" cut to fit cch characters
// (terminator included; returns its length), and its conversion to the ANSI
// code page cut at a character boundary to fit cbOut bytes (returns the byte
// count including the terminating NUL, or 0 when nothing can be written).
int FormatLogLine(LPWSTR line, size_t cch, const SYSTEMTIME* time, DWORD session,
                  WORD code, LPCWSTR func, LPCWSTR fmt, va_list args);
int ConvertLogLine(LPCWSTR line, int cch, LPSTR out, int cbOut);
// Minimum line level written for a detail setting (256: nothing).
WORD LogThreshold(WORD logLevel);

#define LOG_LINE_CCH 1024
#define LOG_LINE_CB  2048

// Logged heap operations (the caller's operation name goes into the line).
LPVOID LoggedHeapAlloc(LPCWSTR func, HANDLE heap, LPVOID block, SIZE_T size);
LPVOID LoggedHeapFree(LPCWSTR func, HANDLE heap, LPVOID block);
HANDLE LoggedHeapCreate(LPCWSTR func, DWORD options = HEAP_GENERATE_EXCEPTIONS);
HANDLE LoggedHeapDestroy(LPCWSTR func, HANDLE heap);

// Entry/exit markers of an operation: LOG_SCOPE(L"ReadBuf") writes ">" now and "<" on return.
class LogScope {
public:
    LogScope(LPCWSTR func, WORD level = 0) : func_(func), level_(level) { LogPrintf(LOG_TAG_ENTRY | level_, func_, L""); }
    ~LogScope() { LogPrintf(LOG_TAG_EXIT | level_, func_, L""); }
    LogScope(const LogScope&) = delete;
    LogScope& operator=(const LogScope&) = delete;
private:
    LPCWSTR func_;
    WORD level_;
};
