#include <gtest/gtest.h>
#include <stdarg.h>
#include <string>
#include "log.h"
#include "module.h"
#include "settings.h"
#include "scratch.h"

namespace {

std::wstring Line(const SYSTEMTIME& t, DWORD session, WORD code, LPCWSTR func, LPCWSTR fmt, ...)
{
    WCHAR buf[LOG_LINE_CCH];
    va_list args;
    va_start(args, fmt);
    int n = FormatLogLine(buf, ARRAYSIZE(buf), &t, session, code, func, fmt, args);
    va_end(args);
    EXPECT_EQ((size_t)n, wcslen(buf));
    return buf;
}

const SYSTEMTIME kExampleTime = {2014, 7, 2, 1, 9, 5, 3, 0};

std::string Stamp()
{
    SYSTEMTIME t;
    GetLocalTime(&t);
    char s[32];
    wsprintfA(s, "%04d/%02d/%02d,%02d:%02d:%02d", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
    return s;
}

// Each test logs as its own user into its own folder, through its own
// per-user settings file.
class LogTest : public ::testing::Test {
protected:
    ScratchFolder dir;
    std::wstring ini;
    std::wstring user;

    void SetUp() override
    {
        user = ScratchName(L"t");
        lstrcpynW(g_szUserName, user.c_str(), ARRAYSIZE(g_szUserName));
        g_ModuleKind = MODULE_SERVER;
        g_szSection = L"Server";
        ini = dir / L"user.ini";
        lstrcpynW(g_szUserIni, ini.c_str(), MAX_PATH);
        SetKey(L"LogFolder", dir.path());
        SetLogSession(0);
    }
    void TearDown() override
    {
        LogEnd();
        g_szUserIni[0] = 0;
    }
    void SetKey(LPCWSTR key, const std::wstring& value)
    {
        WritePrivateProfileStringW(L"Server", key, value.c_str(), ini.c_str());
    }
    void SetKey(LPCWSTR key, int value) { SetKey(key, std::to_wstring(value)); }
    std::wstring StoredText(LPCWSTR key)
    {
        WCHAR buf[MAX_PATH];
        GetPrivateProfileStringW(L"Server", key, L"", buf, MAX_PATH, ini.c_str());
        return buf;
    }
    std::wstring LogFile(int n = 0) const
    {
        WCHAR name[MAX_PATH];
        if (n)
            wsprintfW(name, L"Quorvane_SV(%s)_%03d.log", user.c_str(), n);
        else
            wsprintfW(name, L"Quorvane_SV(%s).log", user.c_str());
        return dir / name;
    }
    std::vector<std::string> Lines(int n = 0) const { return SplitLines(ReadBytes(LogFile(n))); }
    // The columns after date and time.
    static std::string Body(const std::string& line) { return line.size() > 20 ? line.substr(20) : ""; }
    bool HasBody(const std::string& body) const
    {
        for (auto& l : Lines())
            if (Body(l) == body)
                return true;
        return false;
    }
};

}  // namespace

TEST(LogLine, ColumnsByteForByte)
{
    static const struct {
        WORD code;
        LPCWSTR func;
        LPCWSTR fmt;
        int arg;
        LPCWSTR expected;
    } rows[] = {
        {64, L"OnInitInstance", L",Done", 0, L"2014/07/01,09:05:03,3,64,,OnInitInstance,,Done\r\n"},
        {LOG_E, L"OnInitInstance", L",CreateWindow,error=%d", 1407,
         L"2014/07/01,09:05:03,3,255,E,OnInitInstance,,CreateWindow,error=1407\r\n"},
        // A NULL string argument is written, never a crash.
        {LOG_W, L"ConfirmLogSettings", L",invalid value,%s,%d", 0,
         L"2014/07/01,09:05:03,3,255,W,ConfirmLogSettings,,invalid value,(null),0\r\n"},
        {LOG_IN, L"ReadBuf", L"", 0, L"2014/07/01,09:05:03,3,0,>,ReadBuf,\r\n"},
        {0x4080, L"ReadBuf", L"", 0, L"2014/07/01,09:05:03,3,128,<,ReadBuf,\r\n"},
        {0x5040, L"Odd", L"HeapAlloc,%d bytes", 16, L"2014/07/01,09:05:03,3,64,,Odd,HeapAlloc,16 bytes\r\n"},
        {0x0020, nullptr, nullptr, 0, L"2014/07/01,09:05:03,3,32,,,\r\n"},
    };
    for (auto& r : rows) {
        std::wstring got = r.fmt && wcsstr(r.fmt, L"%s")
                               ? Line(kExampleTime, 3, r.code, r.func, r.fmt, (LPCWSTR)nullptr, r.arg)
                               : Line(kExampleTime, 3, r.code, r.func, r.fmt, r.arg);
        EXPECT_EQ(std::wstring(r.expected), got) << "code " << std::hex << r.code;
    }
}

TEST(LogLine, LongMessageIsCutAndStillEndsWithCrLf)
{
    std::wstring pairs;
    for (int i = 0; i < 600; i++)
        pairs += L"\xD83D\xDE00";
    // The two variants put the cut after a high and after a low surrogate.
    for (LPCWSTR lead : {L",", L",a"}) {
        std::wstring msg = lead + pairs;
        std::wstring got = Line(kExampleTime, 3, 64, L"Long", L"%s", msg.c_str());
        ASSERT_GE(got.size(), 3u);
        EXPECT_LE(got.size(), (size_t)LOG_LINE_CCH - 1);
        EXPECT_GE(got.size(), (size_t)LOG_LINE_CCH - 2);
        EXPECT_EQ(L"\r\n", got.substr(got.size() - 2));
        EXPECT_FALSE(IS_HIGH_SURROGATE(got[got.size() - 3])) << "half a character before CR LF";
        EXPECT_EQ(0u, got.find(L"2014/07/01,09:05:03,3,64,,Long,"));
    }
}

TEST(LogLine, AnsiConversionCutsAtCharacterBoundary)
{
    std::wstring text = L"abc";
    for (int i = 0; i < 40; i++)
        text += L"\x30ed";   // two bytes in code page 932, '?' elsewhere
    std::wstring line = text + L"\r\n";
    char full[LOG_LINE_CB];
    int fullCb = ConvertLogLine(line.c_str(), (int)line.size(), full, sizeof full);
    ASSERT_GT(fullCb, 3);
    EXPECT_EQ(0, full[fullCb - 1]);
    EXPECT_EQ(std::string("\r\n"), std::string(full + fullCb - 3, 2));

    for (int cbOut : {16, 17, 3, 40}) {
        char out[64];
        memset(out, 0xbd, sizeof out);
        int cb = ConvertLogLine(line.c_str(), (int)line.size(), out, cbOut);
        ASSERT_GE(cb, 3) << cbOut;
        ASSERT_LE(cb, cbOut);
        EXPECT_EQ((char)0xbd, out[cbOut]) << "wrote past the buffer, " << cbOut;
        EXPECT_EQ(0, out[cb - 1]);
        EXPECT_EQ(std::string("\r\n"), std::string(out + cb - 3, 2));
        std::string head(out, cb - 3);
        EXPECT_EQ(0u, std::string(full).find(head)) << "not a head of the full conversion, " << cbOut;
        WCHAR back[64];
        EXPECT_EQ((int)head.size() > 0,
                  MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, head.data(), (int)head.size(), back, 64) > 0)
            << "a character was split, " << cbOut;
    }
}

TEST_F(LogTest, ThresholdOfEachDetailSetting)
{
    static const WORD levels[] = {0, 31, 32, 63, 64, 127, 128, 254, 255};
    static const WORD thresholds[LOGLEVEL_COUNT] = {64, 128, 255, 256, 32, 0};
    for (WORD detail = 0; detail < LOGLEVEL_COUNT; detail++) {
        DeleteFileW(LogFile().c_str());
        SetKey(L"LogLevel", detail);
        LogStart(nullptr);
        EXPECT_EQ(detail, GetLogSettingsInForce()->LogLevel);
        for (WORD level : levels)
            LogPrintf(level, L"Probe", L",%d", level);
        LogEnd();

        if (thresholds[detail] > 255) {
            EXPECT_FALSE(FileExists(LogFile())) << "detail " << detail << " wrote a file";
            continue;
        }
        std::string expected = "0,255,,LogStart,----------------,----------------,----------------,----------------\n";
        for (WORD level : levels)
            if (level >= thresholds[detail])
                expected += "0," + std::to_string(level) + ",,Probe,," +
                            std::to_string(level) + "\n";
        expected += "0,255,,LogEnd,\n";
        std::string got;
        for (auto& l : Lines())
            got += Body(l) + "\n";
        EXPECT_EQ(expected, got) << "detail " << detail;
    }
}

TEST_F(LogTest, LinesCarryLocalTimeAndSession)
{
    SetKey(L"LogLevel", 0);
    LogStart(nullptr);
    SetLogSession(3);
    std::string before = Stamp();
    LogPrintf(LOG_E, L"OnInitInstance", L",CreateWindow,error=%d", 1407);
    std::string after = Stamp();
    auto lines = Lines();
    ASSERT_EQ(2u, lines.size());
    std::string stamp = lines[1].substr(0, 19);
    EXPECT_LE(before, stamp);
    EXPECT_GE(after, stamp);
    EXPECT_EQ(',', lines[1][19]);
    EXPECT_EQ("3,255,E,OnInitInstance,,CreateWindow,error=1407", Body(lines[1]));
}

TEST_F(LogTest, RotationWithOneKilobyteAndOneOlderFile)
{
    SetKey(L"LogSize", 1);
    SetKey(L"LogRotate", 1);
    LogStart(nullptr);
    const int count = 60;
    for (int i = 0; i < count; i++)
        LogPrintf(64, L"Fill", L",%04d,abcdefghijklmnopqrstuvwxyz", i);

    EXPECT_FALSE(FileExists(LogFile(2)));
    std::string current = ReadBytes(LogFile()), older = ReadBytes(LogFile(1));
    // The size check counts the terminating NUL of each converted line.
    EXPECT_LE(current.size(), 1023u);
    EXPECT_LE(older.size(), 1023u);
    auto newest = Lines(0);
    auto prior = Lines(1);
    ASSERT_FALSE(newest.empty());
    ASSERT_FALSE(prior.empty());
    EXPECT_GT(older.size() + newest[0].size() + 3, 1024u) << "rotated before the file was full";
    // Both files together hold an unbroken run of lines up to the last one.
    prior.insert(prior.end(), newest.begin(), newest.end());
    int next = count - (int)prior.size();
    for (auto& l : prior) {
        char expected[64];
        wsprintfA(expected, "0,64,,Fill,,%04d,abcdefghijklmnopqrstuvwxyz", next++);
        EXPECT_EQ(expected, Body(l));
    }
}

TEST_F(LogTest, RotationKeepsTwoHundredFiftyFiveOlderFiles)
{
    for (int n = 1; n <= 256; n++)
        WriteBytes(LogFile(n), "old " + std::to_string(n) + "\r\n");
    WriteBytes(LogFile(), std::string(1000, 'c') + "\r\n");
    SetKey(L"LogSize", 1);
    SetKey(L"LogRotate", 255);
    LogStart(nullptr);   // its separator line no longer fits: one rotation

    EXPECT_EQ(std::string(1000, 'c') + "\r\n", ReadBytes(LogFile(1)));
    EXPECT_EQ("old 1\r\n", ReadBytes(LogFile(2)));
    EXPECT_EQ("old 254\r\n", ReadBytes(LogFile(255)));
    EXPECT_EQ("old 256\r\n", ReadBytes(LogFile(256))) << "a file beyond the kept ones was touched";
    ASSERT_EQ(1u, Lines().size());
    EXPECT_EQ(0u, Body(Lines()[0]).find("0,255,,LogStart,"));
}

TEST_F(LogTest, OversizedLineDoesNotRotateAnEmptyFile)
{
    // Only double-byte text makes one line larger than a 1 KB file.
    if (GetACP() != 932)
        GTEST_SKIP() << "the prefix's ANSI code page is " << GetACP() << ", not 932";
    WriteBytes(LogFile(1), "kept\r\n");
    SetKey(L"LogSize", 1);
    SetKey(L"LogRotate", 3);
    LogStart(nullptr);
    DeleteFileW(LogFile().c_str());   // the next line starts an empty file
    LogPrintf(LOG_E, L"Big", L",%s", std::wstring(900, L'\x30ed').c_str());
    EXPECT_EQ("kept\r\n", ReadBytes(LogFile(1)));
    EXPECT_FALSE(FileExists(LogFile(2)));
    ASSERT_EQ(1u, Lines().size());
    EXPECT_GT(Lines()[0].size(), 1024u);
    EXPECT_EQ(0u, Body(Lines()[0]).find("0,255,E,Big,,\x83\x8d"));

    LogPrintf(LOG_E, L"Next", L"");   // now the full file moves on
    EXPECT_EQ("kept\r\n", ReadBytes(LogFile(2)));
    EXPECT_EQ(0u, Body(Lines(1)[0]).find("0,255,E,Big,,\x83\x8d"));
    ASSERT_EQ(1u, Lines().size());
    EXPECT_EQ("0,255,E,Next,", Body(Lines()[0]));
}

TEST_F(LogTest, InvalidStoredValuesFallBackToDefaults)
{
    static const struct {
        LPCWSTR key;
        int stored;
        int repaired;   // -1: kept as stored
    } rows[] = {
        {L"LogSize", 0, 1024},   {L"LogSize", 10241, 1024}, {L"LogSize", 66560, 1024},
        {L"LogSize", -1, 1024},  {L"LogRotate", 0, 5},      {L"LogRotate", 256, 5},
        {L"LogLevel", 6, 0},     {L"LogLevel", 65536, 0},   {L"LogSize", 1, -1},
        {L"LogSize", 10240, -1}, {L"LogRotate", 1, -1},     {L"LogRotate", 255, -1},
        {L"LogLevel", 5, -1},
    };
    for (auto& r : rows) {
        SCOPED_TRACE(testing::Message() << (LPCSTR)Narrow(r.key).c_str() << "=" << r.stored);
        WritePrivateProfileStringW(L"Server", nullptr, nullptr, ini.c_str());
        SetKey(L"LogFolder", dir.path());
        SetKey(r.key, r.stored);
        DeleteFileW(LogFile().c_str());
        LogStart(nullptr);
        const LogSettings* s = GetLogSettingsInForce();
        int expected = r.repaired < 0 ? r.stored : r.repaired;
        int got = !wcscmp(r.key, L"LogSize") ? s->LogSize : !wcscmp(r.key, L"LogRotate") ? s->LogRotate : s->LogLevel;
        EXPECT_EQ(expected, got);
        EXPECT_EQ(1u, Lines().size()) << "warnings went to the log during LogStart";

        // What the log page does: read again while logging is on.
        LogSettings page;
        ReadLogSettings(&page, nullptr, FALSE, FALSE);
        std::string warning = "0,255,W,ConfirmLogSettings,,invalid value," + Narrow(r.key) + "," + std::to_string(r.stored);
        EXPECT_EQ(r.repaired >= 0, HasBody(warning));
        EXPECT_EQ(std::to_wstring(r.stored), StoredText(r.key)) << "the repaired value was written back";
        LogEnd();
    }
}

TEST_F(LogTest, UnwritableFolderFallsBackToTheDefault)
{
    std::wstring missing = dir / L"missing";
    SetKey(L"LogFolder", missing);
    LogStart(nullptr);
    std::wstring path = GetLogFilePath();
    const LogSettings* s = GetLogSettingsInForce();
    EXPECT_NE(missing, s->LogFolder);
    EXPECT_NE(nullptr, wcsstr(s->LogFolder, LOG_SUBFOLDER));
    EXPECT_EQ(std::wstring(s->LogFolder) + L"\\Quorvane_SV(" + user + L").log", path);
    EXPECT_TRUE(FileExists(path));

    LogSettings page;
    ReadLogSettings(&page, nullptr, FALSE, FALSE);
    EXPECT_EQ(missing, page.LogFolder) << "the page shows what is stored";
    ReadLogSettings(&page, nullptr, TRUE, FALSE);
    std::string log = ReadBytes(path);
    EXPECT_NE(std::string::npos, log.find(",255,W,ConfirmLogSettings,,non-writable,LogFolder\r\n"));
    LogEnd();
    DeleteFileW(path.c_str());
}

TEST_F(LogTest, WriteStoresANormalizedFolderAndEveryKey)
{
    LogStart(nullptr);
    LogSettings s = {};
    lstrcpynW(s.LogFolder, (dir.path() + L"\\a\\..\\b\\.\\").c_str(), MAX_PATH);
    s.LogSize = 10240;
    s.LogRotate = 255;
    s.LogLevel = 4;
    WriteLogSettings(&s);
    EXPECT_EQ(dir / L"b", StoredText(L"LogFolder"));
    EXPECT_EQ(L"10240", StoredText(L"LogSize"));
    EXPECT_EQ(L"255", StoredText(L"LogRotate"));
    EXPECT_EQ(L"4", StoredText(L"LogLevel"));
    EXPECT_TRUE(HasBody("0,64,,WriteLogSettings,Change LogSetting"));
    EXPECT_EQ(0, GetLogSettingsInForce()->LogLevel) << "the settings in force changed before the next start";
}

TEST(LogSettingsRepair, EndsWhenEvenTheDefaultFolderIsNotWritable)
{
    ScratchFolder dir;
    LogValues v = {};
    lstrcpynW(v.LogFolder, (dir / L"gone").c_str(), MAX_PATH);
    v.LogSize = 0;
    v.LogRotate = 300;
    v.LogLevel = 9;
    std::wstring fallback = dir / L"also-gone";
    RepairLogValues(&v, fallback.c_str(), TRUE);
    EXPECT_EQ(fallback, v.LogFolder);
    EXPECT_EQ(LOGSIZE_DEFAULT, v.LogSize);
    EXPECT_EQ(LOGROTATE_DEFAULT, v.LogRotate);
    EXPECT_EQ(LOGLEVEL_DEFAULT, v.LogLevel);
}

TEST_F(LogTest, ConfirmNamesTheFirstInvalidField)
{
    static const struct {
        WORD size, rotate, level;
        BOOL missingFolder;
        UINT expected;
    } rows[] = {
        {1024, 5, 0, FALSE, 0},      {1024, 5, 0, TRUE, 10002}, {0, 0, 6, TRUE, 10002},
        {0, 0, 6, FALSE, 10003},     {1, 0, 6, FALSE, 10004},   {1, 1, 6, FALSE, IDS_LOGSETTING_BAD_LEVEL},
        {10240, 255, 5, FALSE, 0},
    };
    for (auto& r : rows) {
        LogSettings s = {};
        lstrcpynW(s.LogFolder, r.missingFolder ? (dir / L"none").c_str() : dir.path().c_str(), MAX_PATH);
        s.LogSize = r.size;
        s.LogRotate = r.rotate;
        s.LogLevel = r.level;
        EXPECT_EQ(r.expected, ConfirmLogSettings(&s, TRUE)) << r.size << "/" << r.rotate << "/" << r.level;
    }
}

TEST_F(LogTest, LastErrorIsPreserved)
{
    SetKey(L"LogLevel", 1);
    LogStart(nullptr);
    static const struct {
        WORD code;
        DWORD error;
    } rows[] = {{64, 0xdeadbeef}, {128, 0xdeadbeef}, {LOG_E, 0}, {LOG_W, ERROR_ACCESS_DENIED}};
    for (auto& r : rows) {
        SetLastError(r.error);
        EXPECT_EQ(r.code, LogPrintf(r.code, L"Probe", L",%s", L"x"));
        EXPECT_EQ(r.error, GetLastError()) << "code " << r.code;
    }
    // A file that cannot be opened loses the line, and still the error stays.
    HANDLE lock = CreateFileW(LogFile().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, lock);
    SetLastError(0xdeadbeef);
    LogPrintf(LOG_E, L"Probe", L",locked");
    EXPECT_EQ(0xdeadbeefu, GetLastError());
    CloseHandle(lock);
    EXPECT_FALSE(HasBody("0,255,E,Probe,,locked"));
}

TEST_F(LogTest, LongMessageInTheFileEndsWithCrLf)
{
    LogStart(nullptr);
    LogPrintf(64, L"Long", L",%s", std::wstring(3000, L'x').c_str());
    std::string bytes = ReadBytes(LogFile());
    auto lines = Lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(LOG_LINE_CCH - 3u, lines[1].size());
    EXPECT_EQ("\r\n", bytes.substr(bytes.size() - 2));
    EXPECT_EQ(0u, Body(lines[1]).find("0,64,,Long,,xxx"));
}

TEST_F(LogTest, JapaneseIsWrittenInTheAnsiCodePage)
{
    if (GetACP() != 932)
        GTEST_SKIP() << "the prefix's ANSI code page is " << GetACP() << ", not 932";
    LogStart(nullptr);
    LogPrintf(64, L"Jp", L",%s", L"\x30ed\x30b0\x8a2d\x5b9a");   // katakana ro, gu; settei
    auto lines = Lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("0,64,,Jp,,\x83\x8d\x83\x4f\x90\xdd\x92\xe8", Body(lines[1]));
}

TEST_F(LogTest, LogEndStopsWritingAndClientNamesItsFile)
{
    LogStart(nullptr);
    LogEnd();
    LogPrintf(LOG_E, L"After", L"");
    EXPECT_FALSE(HasBody("0,255,E,After,"));
    EXPECT_EQ(L"", std::wstring(GetLogFilePath()));
    EXPECT_EQ(nullptr, GetLogMutex());

    g_ModuleKind = MODULE_CLIENT;
    g_szSection = L"Server";   // the test's settings file only has this section
    LogStart(L"srv01");
    std::wstring path = GetLogFilePath();
    EXPECT_EQ(dir / (L"Quorvane_CL(" + user + L")(srv01).log"), path);
    WCHAR name[MAX_PATH];
    wsprintfW(name, L"WRITE_CL_%s", user.c_str());
    HANDLE same = OpenMutexW(SYNCHRONIZE, FALSE, name);
    EXPECT_NE(nullptr, same) << "the log mutex does not carry the client's name";
    if (same)
        CloseHandle(same);
    LogEnd();
    LogStart(nullptr);
    EXPECT_EQ(dir / (L"Quorvane_CL(" + user + L")().log"), std::wstring(GetLogFilePath()));
    LogEnd();
    LogStart(L"[fe80::1]:3390\\x");
    EXPECT_EQ(dir / (L"Quorvane_CL(" + user + L")([fe80__1]_3390_x).log"), std::wstring(GetLogFilePath()));
    EXPECT_TRUE(FileExists(GetLogFilePath()));
    LogEnd();
    g_ModuleKind = MODULE_SERVER;
}

// The client restarts its log on one thread while channel callbacks log on
// others: no line may be torn or go to a half-built path, and nothing crashes.
static volatile LONG s_stopWriters;

static DWORD WINAPI WriterThread(LPVOID)
{
    for (int i = 0; !s_stopWriters; i++)
        LogPrintf(64, L"Writer", L",%d,0123456789", i);
    return 0;
}

TEST_F(LogTest, RestartWhileOtherThreadsLog)
{
    LogStart(nullptr);
    s_stopWriters = 0;
    HANDLE threads[2];
    for (auto& t : threads)
        t = CreateThread(nullptr, 0, WriterThread, nullptr, 0, nullptr);
    for (int i = 0; i < 40; i++) {
        LogEnd();
        LogStart(nullptr);
    }
    s_stopWriters = 1;
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);
    for (auto t : threads)
        CloseHandle(t);
    int written = 0;
    for (auto& l : Lines()) {
        std::string body = Body(l);
        int n;
        char tail[16] = "";
        if (sscanf(body.c_str(), "0,64,,Writer,,%d,%15s", &n, tail) == 2 && !strcmp(tail, "0123456789"))
            written++;
        else
            EXPECT_TRUE(body.find("0,255,,LogStart,") == 0 || body == "0,255,,LogEnd,") << l;
    }
    EXPECT_GT(written, 0);
}

TEST_F(LogTest, TwoProcessesShareOneFileWithoutLosingLines)
{
    WCHAR exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    PathRemoveFileSpecW(exe);
    std::wstring writer = std::wstring(exe) + L"\\logwriter.exe";
    ASSERT_TRUE(FileExists(writer)) << "logwriter.exe is built beside the tests";
    SetKey(L"LogSize", 4);
    SetKey(L"LogRotate", 255);

    const int count = 300;
    HANDLE procs[2];
    for (int i = 0; i < 2; i++) {
        std::wstring cmd = L"\"" + writer + L"\" \"" + ini + L"\" " + user + L" " + (i ? L"B" : L"A") + L" " +
                           std::to_wstring(count);
        STARTUPINFOW si = {sizeof si};
        PROCESS_INFORMATION pi = {};
        ASSERT_TRUE(CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
        CloseHandle(pi.hThread);
        procs[i] = pi.hProcess;
    }
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, procs, TRUE, 120000));
    CloseHandle(procs[0]);
    CloseHandle(procs[1]);

    // Oldest file first, so each writer's lines must come in order.
    std::vector<std::string> lines;
    for (int n = 255; n >= 0; n--) {
        auto part = Lines(n);
        lines.insert(lines.end(), part.begin(), part.end());
    }
    EXPECT_TRUE(FileExists(LogFile(2))) << "the test was meant to rotate several times";
    int next[2] = {0, 0}, separators = 0, ends = 0;
    for (auto& l : lines) {
        std::string body = Body(l);
        char who = 0;
        int n = -1;
        char tail[64] = "";
        if (body.find("0,255,,LogStart,") == 0) {
            separators++;
        } else if (body == "0,255,,LogEnd,") {
            ends++;
        } else if (sscanf(body.c_str(), "0,64,,LogWriter,,%c,%d,%63s", &who, &n, tail) == 3 &&
                   (who == 'A' || who == 'B') && !strcmp(tail, "0123456789abcdefghijklmnopqrstuvwxyz")) {
            EXPECT_EQ(next[who - 'A'], n) << "writer " << who;
            next[who - 'A'] = n + 1;
        } else {
            ADD_FAILURE() << "torn or foreign line: " << l;
        }
    }
    EXPECT_EQ(count, next[0]);
    EXPECT_EQ(count, next[1]);
    EXPECT_EQ(2, separators);
    EXPECT_EQ(2, ends);
}
