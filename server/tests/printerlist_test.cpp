#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>
#include <string.h>
#include <string>
#include <vector>
#include "drivers.h"
#include "printer_double.h"
#include "printerlist.h"
#include "printername.h"
#include "scratch.h"
#include "testutil.h"

namespace {

const DWORD TS = PRINTER_ATTRIBUTE_TS;

class PrinterList : public ::testing::Test {
protected:
    void SetUp() override
    {
        PrinterDouble::Reset();
        ASSERT_TRUE(ReadTargetDriver(folder.File(L"none.ini").c_str()));
    }
    void TearDown() override { EXPECT_EQ(0, PrinterDouble::OpenHandles()); }

    svtest::TestLog log;
    svtest::TempFolder folder{L"list"};
    CPrinterList list;
};

TEST_F(PrinterList, LocalNameIsEverythingBeforeTheLastBlankParenthesis)
{
    static const struct {
        LPCWSTR server;
        BOOL ok;
        LPCWSTR local;
    } cases[] = {
        {L"Printer (Color) (from PC1) in session 3", TRUE, L"Printer (Color)"},
        {L"Printer (redirected 2)", TRUE, L"Printer"},
        {L"A (b) (c)", TRUE, L"A (b)"},
        {L"Printer", FALSE, L""},
        {L"(redirected 2)", FALSE, L""},
        {L"Printer(redirected 2)", FALSE, L""},
        {L"Printer (x)(y)", FALSE, L""},
    };
    for (const auto& c : cases)
        list.AddRedirectPrinter(c.server);
    for (int i = 0; i < (int)ARRAYSIZE(cases); i++) {
        WCHAR out[CCH_LOCAL_NAME];
        SetLastError(0xdeadbeef);
        EXPECT_EQ(cases[i].ok, list.CreateLocalName(i, out)) << i;
        EXPECT_EQ(cases[i].ok ? 0u : (DWORD)ERROR_NO_LOCAL_NAME, GetLastError()) << i;
        EXPECT_STREQ(cases[i].local, out) << i;
    }
    EXPECT_TRUE(log.Has(",(SV)Printer,no '('", "CreateLocalName"));
    EXPECT_TRUE(log.Has(",(SV)Printer(redirected 2),no space before '('", "CreateLocalName"));
}

TEST(RedirectedName, SessionIsTheNumberThatTheSuffixNamesAndNothingElse)
{
    static const struct {
        LPCWSTR name;
        DWORD session;   // 0: none
    } cases[] = {
        {L"Printer (redirected 2)", 2}, {L"Printer (Color) (from PC1) in session 3", 3},
        {L"P (redirected 4294967295)", 4294967295u}, {L"P (redirected 4294967296)", 0},
        {L"P (redirected 2) ", 0}, {L"P (redirected -2)", 0}, {L"P (redirected )", 0},
        {L"P (from PC1) in session 3x", 0}, {L"P () in session 3", 0}, {L"P(redirected 2)", 0},
        {L"P (redirected 2) (x)", 0},
    };
    for (const auto& c : cases) {
        DWORD session = 0;
        EXPECT_EQ(c.session != 0, !!GetRedirectedSession(c.name, &session)) << Narrow(c.name);
        EXPECT_EQ(c.session, session) << Narrow(c.name);
    }
}

TEST_F(PrinterList, LocalNameThatDoesNotFitIsRefusedNotCut)
{
    std::wstring name(2000, L'x');
    name += L" (redirected 2)";
    int i = list.AddRedirectPrinter(name.c_str());
    WCHAR out[CCH_LOCAL_NAME + 1];
    out[CCH_LOCAL_NAME] = 0x7777;
    EXPECT_FALSE(list.CreateLocalName(i, out));
    EXPECT_EQ((DWORD)ERROR_NO_LOCAL_NAME, GetLastError());
    EXPECT_EQ(0x7777, out[CCH_LOCAL_NAME]);
}

TEST_F(PrinterList, AddingKeepsIndexesAndComparesNamesExactly)
{
    EXPECT_EQ(0, list.AddRedirectPrinter(L"Office (redirected 2)"));
    EXPECT_EQ(1, list.AddRedirectPrinter(L"office (redirected 2)"));
    EXPECT_EQ(0, list.AddRedirectPrinter(L"Office (redirected 2)"));
    EXPECT_EQ(2, list.AddRedirectPrinter(L"Office (redirected 2) "));
    EXPECT_EQ(3, list.Count());
    EXPECT_EQ(PRINTER_ATTEMPTS, list.Attempts(1));
    EXPECT_TRUE(log.Has(",printer already exists[0],Office (redirected 2)", "AddRedirectPrinter"));
    EXPECT_TRUE(log.Has(",find new printer[1],office (redirected 2)", "AddRedirectPrinter"));
}

TEST_F(PrinterList, EnumerationKeepsOnlyRedirectedTargetPrinters)
{
    PrinterDouble::Add(L"Local Dravo", L"Halvren Office Dravo", 0);
    PrinterDouble::Add(L"Other (redirected 2)", L"Some Other Driver", TS);
    PrinterDouble::Add(L"Office (redirected 2)", L"Halvren Office Dravo", TS | PRINTER_ATTRIBUTE_NETWORK);
    PrinterDouble::Add(L"office (redirected 2)", L"Halvren Office DravoQ", TS);
    EXPECT_EQ(2, list.EnumRedirectPrinters());
    ASSERT_EQ(2, list.Count());
    EXPECT_STREQ(L"Office (redirected 2)", list.Name(0));
    EXPECT_STREQ(L"office (redirected 2)", list.Name(1));
    EXPECT_TRUE(log.Has(",printer count 4", "EnumRedirectPrinters"));
    EXPECT_TRUE(log.Has(",ignore local,Local Dravo", "EnumRedirectPrinters"));
    EXPECT_TRUE(log.Has(",ignore redirect,Other (redirected 2)", "EnumRedirectPrinters"));
}

TEST_F(PrinterList, PassesKeepIndexesAndAttemptsUntilTheListIsEmptied)
{
    PrinterDouble::Add(L"A (redirected 2)", L"Halvren Office Dravo", TS);
    PrinterDouble::Add(L"B (redirected 2)", L"Halvren Office Dravo", TS);
    EXPECT_EQ(2, list.EnumRedirectPrinters());
    list.SetAttempts(0, 0);
    list.SetAttempts(1, 3);
    EXPECT_EQ(1, list.EnumRedirectPrinters());
    EXPECT_EQ(2, list.Count());
    EXPECT_EQ(0, list.Attempts(0));
    EXPECT_EQ(3, list.Attempts(1));
    list.SetAttempts(1, 0);
    EXPECT_EQ(0, list.EnumRedirectPrinters()) << "nothing left to try";

    list.ClearAll();
    EXPECT_EQ(0, list.Count());
    EXPECT_EQ(2, list.EnumRedirectPrinters());
    EXPECT_EQ(PRINTER_ATTEMPTS, list.Attempts(0));
    EXPECT_EQ(PRINTER_ATTEMPTS, list.Attempts(1));
}

TEST_F(PrinterList, PrintersThatDisappearStayButDoNotCount)
{
    PrinterDouble::Add(L"A (redirected 2)", L"Halvren Office Dravo", TS);
    EXPECT_EQ(1, list.EnumRedirectPrinters());
    PrinterDouble::Reset();
    PrinterDouble::Add(L"Plain", L"x", 0);
    EXPECT_EQ(0, list.EnumRedirectPrinters());
    EXPECT_EQ(1, list.Count());
}

TEST_F(PrinterList, SpoolerFailuresYieldNothingForThePass)
{
    EXPECT_EQ(0, list.EnumRedirectPrinters()) << "an empty printer set";
    EXPECT_TRUE(log.Has(",EnumPrinters 1st call,error", "EnumRedirectPrinters"));
    PrinterDouble::Add(L"A (redirected 2)", L"Halvren Office Dravo", TS);
    PrinterDouble::FailEnum(RPC_S_SERVER_UNAVAILABLE);
    EXPECT_EQ(0, list.EnumRedirectPrinters());
    EXPECT_TRUE(log.Has(",EnumPrinters 1st call,error 1722", "EnumRedirectPrinters"));
    EXPECT_EQ(0, list.Count());
}

TEST_F(PrinterList, ClearingFreesEveryBlockOfTheHeap)
{
    for (int i = 0; i < 50; i++)
        list.AddRedirectPrinter((L"P" + std::to_wstring(i) + L" (redirected 2)").c_str());
    list.ClearAll();
    EXPECT_EQ(0, list.Count());
    PROCESS_HEAP_ENTRY entry = {};
    int busy = 0;
    HeapLock(list.Heap());
    while (HeapWalk(list.Heap(), &entry))
        busy += (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0;
    HeapUnlock(list.Heap());
    EXPECT_EQ(0, busy);
    EXPECT_EQ(0, list.AddRedirectPrinter(L"again (redirected 2)"));
}

}  // namespace

namespace {

// What the settings application relies on: the spooler double hands out the
// printer's device mode with its private bytes and keeps the user's level-9 one.
TEST(SpoolerDouble, DeviceModesTravelWithTheirPrivateBytes)
{
    PrinterDouble::Reset();
    PrinterDouble::Bytes dm = PrinterDouble::MakeDevMode(L"P", 0x0302, 100, 0x11);
    PrinterDouble::Add(L"P (redirected 2)", L"Halvren Office Dravo", TS, dm);
    HANDLE h = nullptr;
    ASSERT_TRUE(OpenPrinterW((LPWSTR)L"P (redirected 2)", &h, nullptr));

    DWORD needed = 0;
    EXPECT_FALSE(GetPrinterW(h, 8, nullptr, 0, &needed));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    std::vector<BYTE> buf(needed);
    ASSERT_TRUE(GetPrinterW(h, 8, buf.data(), needed, &needed));
    const DEVMODEW* got = ((PRINTER_INFO_8W*)buf.data())->pDevMode;
    ASSERT_TRUE(got);
    EXPECT_EQ(0x0302, got->dmDriverVersion);
    EXPECT_EQ(0, memcmp(got, dm.data(), dm.size()));

    LONG size = DocumentPropertiesW(nullptr, h, (LPWSTR)L"P (redirected 2)", nullptr, nullptr, 0);
    ASSERT_EQ((LONG)dm.size(), size);
    std::vector<BYTE> out(size);
    EXPECT_EQ(IDOK, DocumentPropertiesW(nullptr, h, nullptr, (DEVMODEW*)out.data(), nullptr, DM_OUT_BUFFER));
    EXPECT_EQ(dm, out);

    PrinterDouble::Bytes mine = PrinterDouble::MakeDevMode(L"P", 0x0400, 37, 0x22);
    PRINTER_INFO_9W pi9 = {(DEVMODEW*)mine.data()};
    ASSERT_TRUE(SetPrinterW(h, 9, (LPBYTE)&pi9, 0));
    PrinterDouble::Bytes stored;
    ASSERT_TRUE(PrinterDouble::GetLevel9(L"P (redirected 2)", &stored));
    EXPECT_EQ(mine, stored);
    PrinterDouble::FailSetLevel9(L"P (redirected 2)", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(SetPrinterW(h, 9, (LPBYTE)&pi9, 0));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_TRUE(ClosePrinter(h));
    EXPECT_EQ(0, PrinterDouble::OpenHandles());
}

}  // namespace

namespace {

// Each outcome of a try: one state, one reason, the attempts left and when
// the next try falls due, near the tick count's wrap.
TEST_F(PrinterList, EachOutcomeOfATryIsOneStateAndReason)
{
    static const struct {
        const char* name;
        PRINTERREASON reason;
        int before;              // attempts left before the try
        PRINTERSTATE state;
        int after;
        DWORD retryIn;           // ms until due again (PRINTER_RETRY)
        BOOL lastAttempt;        // SetOutcome's answer
    } cases[] = {
        {"applied", REASON_NONE, 5, PRINTER_APPLIED, 0, 0, FALSE},
        {"first failure", REASON_APPLY_FAILED, 5, PRINTER_RETRY, 4, 2000, FALSE},
        {"second failure", REASON_NO_REPLY, 4, PRINTER_RETRY, 3, 4000, FALSE},
        {"third failure", REASON_MALFORMED, 3, PRINTER_RETRY, 2, 8000, FALSE},
        {"fourth failure", REASON_NO_DEVMODE, 2, PRINTER_RETRY, 1, 16000, FALSE},
        {"fifth failure: no attempt left", REASON_APPLY_FAILED, 1, PRINTER_GAVE_UP, 0, 0, TRUE},
        {"channel broken down", REASON_CHANNEL, 5, PRINTER_GAVE_UP, 0, 0, FALSE},
        {"server driver older", REASON_OLDER_DRIVER, 5, PRINTER_GAVE_UP, 0, 0, FALSE},
        {"access denied", REASON_ACCESS_DENIED, 3, PRINTER_GAVE_UP, 0, 0, FALSE},
    };
    const DWORD now = 0xFFFFF000;
    list.AddRedirectPrinter(L"Printer (redirected 2)");
    EXPECT_EQ(PRINTER_WAITING, list.State(0));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PRINTERENTRY* e = list.Entry(0);
        e->nAttempts = c.before;
        e->state = PRINTER_RETRY;
        e->dwRetryAt = now;
        EXPECT_EQ(c.lastAttempt, SetOutcome(e, c.reason, 0xdeadbeef, now));
        EXPECT_EQ(c.state, list.State(0));
        EXPECT_EQ(c.reason, list.Reason(0));
        EXPECT_EQ(0xdeadbeefu, list.LastError(0));
        EXPECT_EQ(c.after, list.Attempts(0));
        if (c.state == PRINTER_RETRY) {
            EXPECT_FALSE(IsDue(e, now + c.retryIn - 1));
            EXPECT_TRUE(IsDue(e, now + c.retryIn));
            EXPECT_EQ(c.retryIn - 100, list.NextRetryIn(now + 100, now));
            // Due before the last pass began: that pass's to try, not a reason to wake.
            EXPECT_EQ(INFINITE, list.NextRetryIn(now + c.retryIn + 5, now + c.retryIn));
        } else {
            EXPECT_FALSE(IsDue(e, now + 3600000));
            EXPECT_EQ(INFINITE, list.NextRetryIn(now, now));
        }
    }
}

}  // namespace
