// Text log shared by the server and the client module.
//
// Process-wide state is a snapshot taken under a small lock: the
// client restarts its log (LogEnd, LogStart) on one thread while channel
// callbacks log on others, so a line must never see a half-written path or a
// mutex handle that is being closed. The named mutex itself is reference
// counted for the same reason: LogEnd drops the log's reference and the last
// line still waiting on the old mutex closes it.
#include "log.h"
#include "module.h"
#include "raii.h"
#include <shlobj.h>
#include <shlwapi.h>
#include <strsafe.h>

namespace {

struct MutexRef {
    HANDLE mutex;
    LONG refs;
};

// Needs no initialisation, so lines logged during static start-up are safe.
SRWLOCK s_stateLock = SRWLOCK_INIT;

class StateLock {
public:
    StateLock() { AcquireSRWLockExclusive(&s_stateLock); }
    ~StateLock() { ReleaseSRWLockExclusive(&s_stateLock); }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;
};

MutexRef* s_mutexRef = nullptr;
WCHAR s_baseName[MAX_PATH] = L"";
WCHAR s_logPath[MAX_PATH] = L"";
LogSettings s_inForce = {L"", LOGSIZE_DEFAULT, LOGROTATE_DEFAULT, LOGLEVEL_DEFAULT};
volatile LONG s_threshold = 256;   // 256 while logging is off: nothing passes
volatile LONG s_session = 0;

const WORD kThresholds[LOGLEVEL_COUNT] = {64, 128, 255, 256, 32, 0};

// What one line needs from the process-wide state, copied under the lock.
struct LogTarget {
    MutexRef* ref;
    WCHAR path[MAX_PATH];
    WCHAR folder[MAX_PATH];
    WCHAR baseName[MAX_PATH];
    DWORD limit;      // bytes
    WORD rotate;
};

MutexRef* AddMutexRef()
{
    StateLock lock;
    if (s_mutexRef)
        InterlockedIncrement(&s_mutexRef->refs);
    return s_mutexRef;
}

void ReleaseMutexRef(MutexRef* ref)
{
    if (ref && InterlockedDecrement(&ref->refs) == 0) {
        CloseHandle(ref->mutex);
        delete ref;
    }
}

// Holds a reference to the log mutex and owns it while in scope.
class LogMutexHold {
public:
    explicit LogMutexHold(MutexRef* ref) : ref_(ref) { if (ref_) WaitForSingleObject(ref_->mutex, INFINITE); }
    ~LogMutexHold() { if (ref_) { ReleaseMutex(ref_->mutex); ReleaseMutexRef(ref_); } }
    LogMutexHold(const LogMutexHold&) = delete;
    LogMutexHold& operator=(const LogMutexHold&) = delete;
private:
    MutexRef* ref_;
};

BOOL TakeLogTarget(LogTarget* t)
{
    StateLock lock;
    if (!s_mutexRef || !s_logPath[0])
        return FALSE;
    InterlockedIncrement(&s_mutexRef->refs);
    t->ref = s_mutexRef;
    lstrcpynW(t->path, s_logPath, MAX_PATH);
    lstrcpynW(t->folder, s_inForce.LogFolder, MAX_PATH);
    lstrcpynW(t->baseName, s_baseName, MAX_PATH);
    t->limit = (DWORD)s_inForce.LogSize * 1024;
    t->rotate = s_inForce.LogRotate;
    return TRUE;
}

void RotateFiles(const LogTarget& t)
{
    WCHAR target[MAX_PATH], source[MAX_PATH];
    for (int n = t.rotate; n >= 1; n--) {
        if (FAILED(StringCchPrintfW(target, MAX_PATH, L"%s\\%s_%03d%s", t.folder, t.baseName, n, L".log")))
            continue;
        if (n == 1)
            lstrcpynW(source, t.path, MAX_PATH);
        else if (FAILED(StringCchPrintfW(source, MAX_PATH, L"%s\\%s_%03d%s", t.folder, t.baseName, n - 1, L".log")))
            continue;
        DeleteFileW(target);
        MoveFileW(source, target);
    }
}

HANDLE OpenLogFile(LPCWSTR path)
{
    return CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Appends one converted line (cb counts the terminating NUL) to the current file.
void WriteLogBytes(const LogTarget& t, const char* bytes, int cb)
{
    UniqueFile file(OpenLogFile(t.path));
    LARGE_INTEGER size = {};
    // An empty file is never rotated: a line larger than the limit would
    // otherwise push every older file one place on with an empty one.
    if (file && GetFileSizeEx(file.get(), &size) && size.QuadPart > 0 &&
        (ULONGLONG)size.QuadPart + (ULONGLONG)cb > t.limit) {
        file.reset();
        RotateFiles(t);
        file.reset(OpenLogFile(t.path));
    }
    if (!file)
        return;
    DWORD written = 0;
    SetFilePointer(file.get(), 0, nullptr, FILE_END);
    WriteFile(file.get(), bytes, (DWORD)(cb - 1), &written, nullptr);
}

}  // namespace

// The connection text is the server name as the Remote Desktop client reports
// it, which may carry a port or an IPv6 address: a ':' would turn the log file
// into a stream of some other file, a '\' into a subfolder.
void MakeFileNameSafe(LPWSTR name)
{
    for (; *name; name++)
        if (*name < 0x20 || wcschr(L"\\/:*?\"<>|", *name))
            *name = L'_';
}

WORD LogThreshold(WORD logLevel)
{
    return logLevel < LOGLEVEL_COUNT ? kThresholds[logLevel] : 256;
}

int FormatLogLine(LPWSTR line, size_t cch, const SYSTEMTIME* t, DWORD session,
                  WORD code, LPCWSTR func, LPCWSTR fmt, va_list args)
{
    static const LPCWSTR tags[] = {L"", L"E", L"W", L">", L"<"};
    if (!line || cch < 3)
        return 0;
    UINT tagIndex = (code >> 12) & 0xF;
    LPCWSTR tag = tagIndex < ARRAYSIZE(tags) ? tags[tagIndex] : L"";
    // Two characters stay free for the CR LF that every line ends with.
    size_t room = cch - 2;
    int n = FormatStr(line, room, L"%04d/%02d/%02d,%02d:%02d:%02d,%d,%d,%s,%s,",
                      t->wYear, t->wMonth, t->wDay, t->wHour, t->wMinute, t->wSecond,
                      (int)session, code & 0xFF, tag, func ? func : L"");
    if (fmt && (size_t)n + 1 < room)
        n += FormatStrV(line + n, room - n, fmt, args);
    // A cut may have split a surrogate pair; half a character is not written.
    if (n > 0 && IS_HIGH_SURROGATE(line[n - 1]))
        n--;
    line[n++] = L'\r';
    line[n++] = L'\n';
    line[n] = 0;
    return n;
}

int ConvertLogLine(LPCWSTR line, int cch, LPSTR out, int cbOut)
{
    if (!line || !out || cbOut < 3 || cch < 2)
        return 0;
    int cb = WideCharToMultiByte(CP_ACP, 0, line, cch, out, cbOut - 1, nullptr, nullptr);
    if (cb > 0) {
        out[cb] = 0;
        return cb + 1;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return 0;
    // Too long for the code page: keep the longest head of the text that fits
    // in front of CR LF and the NUL, never half a surrogate pair.
    int body = cch - 2;
    int lo = 0, hi = body;
    while (lo < hi) {
        int mid = (lo + hi + 1) / 2;
        int need = WideCharToMultiByte(CP_ACP, 0, line, mid, nullptr, 0, nullptr, nullptr);
        if (need > 0 && need <= cbOut - 3)
            lo = mid;
        else
            hi = mid - 1;
    }
    if (lo > 0 && IS_HIGH_SURROGATE(line[lo - 1]))
        lo--;
    cb = lo ? WideCharToMultiByte(CP_ACP, 0, line, lo, out, cbOut - 3, nullptr, nullptr) : 0;
    if (lo && cb <= 0)
        return 0;
    out[cb++] = '\r';
    out[cb++] = '\n';
    out[cb] = 0;
    return cb + 1;
}

// No structured exception handling is available to catch a bad "%s" argument
// here; formatting is bounded and NULL names or formats are written as empty,
// which covers every fault that can be caught portably.
WORD LogPrintf(WORD code, LPCWSTR func, LPCWSTR fmt, ...)
{
    if ((LONG)(code & 0xFF) < s_threshold)
        return code;
    LogTarget target;
    if (!TakeLogTarget(&target))
        return code;
    DWORD lastError = GetLastError();

    SYSTEMTIME now;
    GetLocalTime(&now);
    WCHAR line[LOG_LINE_CCH];
    va_list args;
    va_start(args, fmt);
    int cch = FormatLogLine(line, ARRAYSIZE(line), &now, (DWORD)s_session, code, func, fmt, args);
    va_end(args);

    {
        LogMutexHold hold(target.ref);   // takes over the reference
        char bytes[LOG_LINE_CB];
        int cb = ConvertLogLine(line, cch, bytes, sizeof bytes);
        if (cb > 1)
            WriteLogBytes(target, bytes, cb);
    }
    SetLastError(lastError);
    return code;
}

void RotateLogFiles()
{
    LogTarget target;
    if (!TakeLogTarget(&target))
        return;
    LogMutexHold hold(target.ref);
    RotateFiles(target);
}

void LogStartAt(LPCWSTR folder, LPCWSTR baseName, WORD logLevel)
{
    WCHAR mutexName[MAX_PATH];
    FormatStr(mutexName, MAX_PATH, L"WRITE_%s", baseName);
    MutexRef* ref = nullptr;
    if (HANDLE m = CreateMutexW(nullptr, FALSE, mutexName))
        ref = new MutexRef{m, 1};
    LogSettings settings = {L"", LOGSIZE_DEFAULT, LOGROTATE_DEFAULT, logLevel};
    lstrcpynW(settings.LogFolder, folder, MAX_PATH);
    WCHAR path[MAX_PATH] = L"";
    if (FAILED(StringCchPrintfW(path, MAX_PATH, L"%s\\%s%s", folder, baseName, L".log")))
        path[0] = 0;
    MutexRef* old;
    {
        StateLock lock;
        old = s_mutexRef;
        s_mutexRef = ref;
        lstrcpynW(s_baseName, baseName, MAX_PATH);
        s_inForce = settings;
        lstrcpynW(s_logPath, ref ? path : L"", MAX_PATH);
        s_threshold = s_logPath[0] ? LogThreshold(logLevel) : 256;
    }
    ReleaseMutexRef(old);
    LogPrintf(255, L"LogStart", L"----------------,----------------,----------------,----------------");
}

void LogSwitchTo(LPCWSTR mutexName, LPCWSTR baseName)
{
    MutexRef* ref = nullptr;
    if (HANDLE m = CreateMutexW(nullptr, FALSE, mutexName))
        ref = new MutexRef{m, 1};
    MutexRef* old;
    {
        // Logging stays off while the settings are read, so their warnings
        // never go to a file of the previous run.
        StateLock lock;
        old = s_mutexRef;
        s_mutexRef = ref;
        lstrcpynW(s_baseName, baseName, MAX_PATH);
        s_logPath[0] = 0;
        s_threshold = 256;
    }
    ReleaseMutexRef(old);
}

void LogApplySettings(const LogSettings* settings, LPCWSTR path)
{
    StateLock lock;
    s_inForce = *settings;
    if (s_mutexRef)
        lstrcpynW(s_logPath, path, MAX_PATH);
    s_threshold = s_logPath[0] ? LogThreshold(settings->LogLevel) : 256;
}

void GetLogBaseName(LPWSTR baseName)
{
    StateLock lock;
    lstrcpynW(baseName, s_baseName, MAX_PATH);
}

LogLock::LogLock() : ref_(AddMutexRef())
{
    if (ref_)
        WaitForSingleObject(((MutexRef*)ref_)->mutex, INFINITE);
}

LogLock::~LogLock()
{
    if (ref_) {
        ReleaseMutex(((MutexRef*)ref_)->mutex);
        ReleaseMutexRef((MutexRef*)ref_);
    }
}

void LogEnd()
{
    LogPrintf(255, L"LogEnd", L"");
    MutexRef* old;
    {
        StateLock lock;
        old = s_mutexRef;
        s_mutexRef = nullptr;
        s_logPath[0] = 0;
        s_baseName[0] = 0;
        s_threshold = 256;
    }
    ReleaseMutexRef(old);
}

void SetLogSession(DWORD session) { InterlockedExchange(&s_session, (LONG)session); }
DWORD GetLogSession() { return (DWORD)s_session; }
const LogSettings* GetLogSettingsInForce() { return &s_inForce; }
LPCWSTR GetLogFilePath() { return s_logPath; }

HANDLE GetLogMutex()
{
    StateLock lock;
    return s_mutexRef ? s_mutexRef->mutex : nullptr;
}

LPVOID LoggedHeapAlloc(LPCWSTR func, HANDLE heap, LPVOID block, SIZE_T size)
{
    if (block) {
        LPVOID p = HeapReAlloc(heap, 0, block, size);
        LogPrintf(0, func, L"HeapReAlloc,%p,%p,<- %p,%d bytes", heap, p, block, (int)size);
        return p;
    }
    LPVOID p = HeapAlloc(heap, 0, size);
    LogPrintf(0, func, L"HeapAlloc,%p,%p,%d bytes", heap, p, (int)size);
    return p;
}

LPVOID LoggedHeapFree(LPCWSTR func, HANDLE heap, LPVOID block)
{
    LPVOID result = HeapFree(heap, 0, block) ? nullptr : block;
    LogPrintf(0, func, L"HeapFree,%p,%p,return %p", heap, block, result);
    return result;
}

HANDLE LoggedHeapCreate(LPCWSTR func, DWORD options)
{
    HANDLE heap = HeapCreate(options, 0, 0);
    LogPrintf(32, func, L"HeapCreate,%p,%d bytes", heap, 0);
    return heap;
}

HANDLE LoggedHeapDestroy(LPCWSTR func, HANDLE heap)
{
    HANDLE result = HeapDestroy(heap) ? nullptr : heap;
    LogPrintf(32, func, L"HeapDestroy,%p,return %p", heap, result);
    return result;
}
