#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>
#include <string>
#include "drivers.h"
#include "printer_double.h"
#include "printerlist.h"
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
