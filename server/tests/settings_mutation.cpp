// Seeded corruption of the settings that an administrator or a user edits by
// hand: [Drivers] lines (commas missing or doubled, fields empty, lines at
// and past the reader's buffer, match texts and suffixes that overlap) and
// the numeric values (Interval, LogSize, LogRotate, LogLevel: signs, blanks,
// junk, numbers past every bound). Each file goes through the module's own
// readers, which must agree with a model written here. Run with Wine's heap
// checking on.
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "app.h"
#include "drivers.h"
#include "log.h"
#include "module.h"
#include "mutation.h"
#include "server.h"
#include "settings.h"

namespace {

using mutation::Rng;

struct Line {
    std::wstring match, suffix, pdl;
};

// What the INI reader hands over for a value: blanks trimmed, at most
// CCH_DRIVER_LINE - 1 characters.
std::wstring AsRead(const std::wstring& raw)
{
    size_t b = raw.find_first_not_of(L" \t"), e = raw.find_last_not_of(L" \t");
    std::wstring v = b == std::wstring::npos ? L"" : raw.substr(b, e - b + 1);
    return v.substr(0, CCH_DRIVER_LINE - 1);
}

// "match,suffix,PDL": the first two commas split, the PDL keeps any others.
bool Split(const std::wstring& v, Line* l)
{
    size_t a = v.find(L','), b = a == std::wstring::npos ? a : v.find(L',', a + 1);
    if (b == std::wstring::npos)
        return false;
    *l = {v.substr(0, a), v.substr(a + 1, b - a - 1), v.substr(b + 1)};
    return true;
}

const std::wstring* Match(const std::vector<Line>& table, const std::wstring& driver)
{
    for (const Line& l : table) {
        bool hit = l.suffix == L"-" ? driver == l.match
                                    : driver.compare(0, l.match.size(), l.match) == 0 && driver.size() >= l.match.size()
                                      && driver.size() >= l.suffix.size()
                                      && driver.compare(driver.size() - l.suffix.size(), l.suffix.size(), l.suffix) == 0;
        if (hit)
            return &l.pdl;
    }
    return nullptr;
}

void WriteUtf16File(const std::wstring& file, const std::wstring& text)
{
    HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    std::wstring all = L"\xFEFF" + text;
    DWORD n;
    WriteFile(h, all.c_str(), (DWORD)(all.size() * sizeof(WCHAR)), &n, nullptr);
    CloseHandle(h);
}

class SettingsFuzzer {
public:
    explicit SettingsFuzzer(unsigned seed) : rng_(seed) {}

    std::wstring Text(DWORD maxChars)
    {
        static const WCHAR alphabet[] = L"aAb Dravo-Q,,\x3042\x00e9\t";
        std::wstring s(rng_.Below(maxChars + 1), L'a');
        for (auto& c : s)
            c = alphabet[rng_.Below(ARRAYSIZE(alphabet) - 1)];
        return s;
    }

    // A [Drivers] value as someone might type it, sometimes at the reader's limit.
    std::wstring DriverValue()
    {
        std::wstring v;
        switch (rng_.Below(5)) {
        case 0: v = Text(40); break;
        case 1: v = Text(6) + L"," + (rng_.Chance(30) ? L"-" : Text(6)) + L"," + Text(8); break;
        case 2: v = Text(6) + L"," + Text(6); break;
        case 3: v = L"Halvren " + Text(4) + L"," + Text(4) + L"," + Text(4) + L"," + Text(4); break;
        default: {
            std::wstring body(CCH_DRIVER_LINE - 8 + rng_.Below(16), L'x');
            body[rng_.Below(40)] = L',';
            body[body.size() - 1 - rng_.Below(40)] = L',';
            v = body;
            break;
        }
        }
        if (rng_.Chance(10))
            v = L"  " + v + L" ";
        return v;
    }

    // Names to look up: built from the table's own texts, then bent.
    std::wstring DriverName(const std::vector<Line>& table)
    {
        const Line& l = table[rng_.Below((DWORD)table.size())];
        std::wstring d;
        switch (rng_.Below(4)) {
        case 0: d = l.match; break;
        case 1: d = l.match + Text(3) + l.suffix; break;
        case 2: d = l.suffix; break;
        default: d = Text(10); break;
        }
        if (rng_.Chance(20) && !d.empty())
            d.erase(rng_.Below((DWORD)d.size()), 1);
        return d;
    }

    // A numeric value as someone might type it.
    std::wstring Number()
    {
        static const LPCWSTR fixed[] = {L"", L"0", L"-1", L"5", L"4", L"32767", L"32768", L"10240", L"10241",
                                        L"255", L"256", L"2147483647", L"2147483648", L"4294967295",
                                        L"4294967301", L"99999999999999999999", L"0x10", L"+7", L" 12 ", L"12abc",
                                        L"abc", L"1e3", L"\x0661\x0662", L"--5", L"007"};
        if (rng_.Chance(40))
            return fixed[rng_.Below(ARRAYSIZE(fixed))];
        std::wstring s = rng_.Chance(10) ? L"-" : L"";
        for (DWORD n = 1 + rng_.Below(rng_.Chance(10) ? 12 : 5); n; n--)
            s += (WCHAR)(L'0' + rng_.Below(10));
        if (rng_.Chance(10))
            s += Text(2);
        return s;
    }

    Rng& rng() { return rng_; }

private:
    Rng rng_;
};

// A plain decimal number that every reader takes as it is; else -1.
long long PlainNumber(const std::wstring& raw)
{
    std::wstring v = AsRead(raw);
    if (v.empty() || v.size() > 9)
        return -1;
    for (WCHAR c : v)
        if (c < L'0' || c > L'9')
            return -1;
    return _wtoi64(v.c_str());
}

int Expect(const std::wstring& raw, int def, int lo, int hi)
{
    long long n = PlainNumber(raw);
    return n >= lo && n <= hi ? (int)n : n >= 0 ? def : -1;   // -1: any value within the bounds
}

void CheckValue(int got, const std::wstring& raw, int def, int lo, int hi, const char* what, DWORD c)
{
    int want = Expect(raw, def, lo, hi);
    ASSERT_TRUE(got >= lo && got <= hi) << what << " " << got << " case " << c;
    if (want >= 0) {
        ASSERT_EQ(want, got) << what << " case " << c;
    }
}

std::wstring ScratchIni(LPCWSTR stem)
{
    WCHAR tmp[MAX_PATH], name[MAX_PATH];
    GetTempPathW(MAX_PATH, tmp);
    FormatStr(name, MAX_PATH, L"%sqv %s %lu.ini", tmp, stem, GetCurrentProcessId());
    return name;
}

}  // namespace

TEST(SettingsMutation, DriversLinesBuildExactlyTheTableTheirTextDescribes)
{
    const unsigned seed = mutation::Seed(20261210);
    const DWORD lines = mutation::CaseCount(20000);
    mutation::BeginRun("SettingsMutation.Drivers", seed);
    SettingsFuzzer fz(seed);
    const std::wstring ini = ScratchIni(L"drivers fuzz");
    std::vector<Line> builtin;
    for (LPCWSTR b : {L"Halvren , Dravo,DravoK", L"Halvren , DravoQ,DravoQ", L"Halvren Vendle Printer Driver,-,DravoQ"}) {
        Line l;
        Split(b, &l);
        builtin.push_back(l);
    }
    DWORD done = 0, files = 0, hits = 0, probes = 0;
    while (done < lines) {
        mutation::NoteCase(done);
        std::vector<Line> table = builtin;
        std::wstring text = L"[Drivers]\r\n";
        for (DWORD n = 1 + fz.rng().Below(60); n && done < lines; n--, done++) {
            std::wstring raw = fz.DriverValue();
            text += L"L" + std::to_wstring(n) + L"=" + raw + L"\r\n";
            Line l;
            if (Split(AsRead(raw), &l))
                table.push_back(l);
        }
        WriteUtf16File(ini, text);
        files++;
        ASSERT_TRUE(ReadTargetDriver(ini.c_str())) << "lines up to " << done;
        for (DWORD p = 0; p < 20; p++) {
            std::wstring driver = fz.DriverName(table);
            const std::wstring* want = Match(table, driver);
            LPCWSTR got = MatchTargetDriver(driver.c_str());
            probes++;
            ASSERT_EQ(want != nullptr, got != nullptr) << "seed " << seed << " lines up to " << done;
            if (want) {
                hits++;
                ASSERT_TRUE(*want == got) << "seed " << seed << " lines up to " << done;
            }
        }
        if (files % 64 == 1) {
            ASSERT_TRUE(mutation::AllHeapsValid()) << "lines up to " << done;
        }
    }
    DeleteFileW(ini.c_str());
    EXPECT_TRUE(mutation::AllHeapsValid());
    printf("%lu lines in %lu files, %lu look-ups, %lu found\n", done, files, probes, hits);
    EXPECT_GT(hits, probes / 10);
    EXPECT_LT(hits, probes);
}

TEST(SettingsMutation, NumericValuesAreTakenWhenPlainAndInRangeElseTheDefault)
{
    const unsigned seed = mutation::Seed(20261211);
    const DWORD values = mutation::CaseCount(20000);
    mutation::BeginRun("SettingsMutation.Numbers", seed);
    SettingsFuzzer fz(seed);
    const std::wstring ini = ScratchIni(L"numbers fuzz");
    lstrcpynW(g_szUserIni, ini.c_str(), MAX_PATH);
    g_szSection = L"Server";
    DWORD done = 0;
    for (DWORD c = 0; done < values; c++) {
        mutation::NoteCase(c);
        std::wstring v[4];
        for (auto& s : v)
            s = fz.Number();
        std::wstring text = L"[Server]\r\nInterval=" + v[0] + L"\r\nLogSize=" + v[1] + L"\r\nLogRotate=" + v[2]
                            + L"\r\nLogLevel=" + v[3] + L"\r\n";
        WriteUtf16File(ini, text);
        done += 4;
        CheckValue(ReadWatchInterval(ini.c_str()), v[0], INTERVAL_DEFAULT, INTERVAL_MIN, INTERVAL_MAX, "Interval", c);
        LogSettings s = {};
        ReadLogSettings(&s, nullptr, FALSE, FALSE);
        CheckValue(s.LogSize, v[1], LOGSIZE_DEFAULT, LOGSIZE_MIN, LOGSIZE_MAX, "LogSize", c);
        CheckValue(s.LogRotate, v[2], LOGROTATE_DEFAULT, LOGROTATE_MIN, LOGROTATE_MAX, "LogRotate", c);
        CheckValue(s.LogLevel, v[3], LOGLEVEL_DEFAULT, 0, LOGLEVEL_COUNT - 1, "LogLevel", c);
        if (HasFatalFailure()) {
            printf("seed %u case %lu: \"%ls\" \"%ls\" \"%ls\" \"%ls\"\n", seed, c, v[0].c_str(), v[1].c_str(), v[2].c_str(), v[3].c_str());
            break;
        }
        if (c % 4096 == 0) {
            ASSERT_TRUE(mutation::AllHeapsValid()) << "case " << c;
        }
    }
    g_szUserIni[0] = 0;
    DeleteFileW(ini.c_str());
    EXPECT_TRUE(mutation::AllHeapsValid());
    printf("%lu values\n", done);
}
