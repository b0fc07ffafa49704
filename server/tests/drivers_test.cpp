#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>
#include "drivers.h"
#include "printer_double.h"
#include "testutil.h"

namespace {

class TargetDrivers : public ::testing::Test {
protected:
    void SetUp() override { PrinterDouble::Reset(); }
    void TearDown() override { EXPECT_EQ(0, PrinterDouble::OpenHandles()); }

    void WriteDrivers(std::initializer_list<std::pair<LPCWSTR, LPCWSTR>> lines)
    {
        for (const auto& l : lines)
            WritePrivateProfileStringW(L"Drivers", l.first, l.second, ini.c_str());
    }
    // The PDL that GetPDL finds for a redirected printer with this driver.
    std::wstring PdlOf(LPCWSTR driver)
    {
        std::wstring name = std::wstring(L"P") + std::to_wstring(++printers) + L" (redirected 2)";
        PrinterDouble::Add(name.c_str(), driver, PRINTER_ATTRIBUTE_TS);
        LPCWSTR pdl = GetPDL(name.c_str());
        return pdl ? pdl : L"(none)";
    }

    svtest::TestLog log;
    svtest::TempFolder folder{L"drv"};
    std::wstring ini = folder.File(L"Quorvane.ini");
    int printers = 0;
};

TEST_F(TargetDrivers, BuiltInLinesAloneWithoutADriversSection)
{
    ASSERT_TRUE(ReadTargetDriver(ini.c_str()));
    static const struct {
        LPCWSTR driver, pdl;
    } cases[] = {
        {L"Halvren Office Dravo", L"DravoK"},
        {L"Halvren Office DravoQ", L"DravoQ"},
        {L"Halvren Vendle Printer Driver", L"DravoQ"},
        {L"halvren Office Dravo", L"(none)"},          // letter case counts
        {L"Halvren Dravo", L"DravoK"},                 // the blank is shared by match text and suffix
        {L"HalvrenDravo", L"(none)"},
        {L"Halvren Office Dravox", L"(none)"},
        {L"Halvren Vendle Printer Driver 2", L"(none)"},  // "-" means the whole name
        {L"Halvren Office", L"(none)"},
        {L"", L"(none)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(std::wstring(c.pdl), PdlOf(c.driver)) << c.driver;
}

TEST_F(TargetDrivers, FileLinesFollowTheBuiltInOnes)
{
    WriteDrivers({
        {L"any", L"Halvren ,,DravoX"},          // every Halvren driver, but the built-ins come first
        {L"extra", L"A,B,C,D"},                 // the PDL is the rest of the line
        {L"custom", L"Halvren Office Custom Driver,-,DravoQ"},
        {L"nocomma", L"Lone Driver"},
        {L"onecomma", L"Lone,Driver"},
        {L"empty", L""},
        {L"blanks", L"Spaced , Out,P"},         // blanks inside the fields count
    });
    ASSERT_TRUE(ReadTargetDriver(ini.c_str()));
    static const struct {
        LPCWSTR driver, pdl;
    } cases[] = {
        {L"Halvren Office Dravo", L"DravoK"},
        {L"Halvren Office DravoQ", L"DravoQ"},
        {L"Halvren Anything", L"DravoX"},
        {L"Halvren Office Custom Driver", L"DravoX"},   // the earlier file line wins too
        {L"AxyzB", L"C,D"},
        {L"AB", L"C,D"},
        {L"Lone Driver", L"(none)"},
        {L"LoneDriver", L"(none)"},
        {L"Spaced x Out", L"P"},
        {L"Spaced xOut", L"(none)"},
        {L"SpacedOut", L"(none)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(std::wstring(c.pdl), PdlOf(c.driver)) << c.driver;
    }
}

TEST_F(TargetDrivers, RebuildingTheTableStartsFromTheBuiltInLines)
{
    WriteDrivers({{L"any", L"Halvren ,,DravoX"}});
    ASSERT_TRUE(ReadTargetDriver(ini.c_str()));
    EXPECT_EQ(L"DravoX", PdlOf(L"Halvren Anything"));
    WritePrivateProfileStringW(L"Drivers", nullptr, nullptr, ini.c_str());
    ASSERT_TRUE(ReadTargetDriver(ini.c_str()));
    EXPECT_EQ(L"(none)", PdlOf(L"Halvren Anything"));
}

TEST_F(TargetDrivers, ManyFileLinesGrowTheTable)
{
    for (int i = 0; i < 200; i++) {
        std::wstring key = L"k" + std::to_wstring(i);
        std::wstring line = L"Drv" + std::to_wstring(i) + L",-,PDL" + std::to_wstring(i);
        WritePrivateProfileStringW(L"Drivers", key.c_str(), line.c_str(), ini.c_str());
    }
    ASSERT_TRUE(ReadTargetDriver(ini.c_str()));
    EXPECT_STREQ(L"PDL0", MatchTargetDriver(L"Drv0"));
    EXPECT_STREQ(L"PDL199", MatchTargetDriver(L"Drv199"));
    EXPECT_STREQ(L"DravoK", MatchTargetDriver(L"Halvren X Dravo"));
}

TEST_F(TargetDrivers, PrinterThatCannotBeQueriedHasNoTargetDriver)
{
    ASSERT_TRUE(ReadTargetDriver(ini.c_str()));
    PrinterDouble::Add(L"Closed (redirected 2)", L"Halvren Office Dravo", PRINTER_ATTRIBUTE_TS);
    PrinterDouble::Add(L"Mute (redirected 2)", L"Halvren Office Dravo", PRINTER_ATTRIBUTE_TS);
    PrinterDouble::FailOpen(L"Closed (redirected 2)", ERROR_ACCESS_DENIED);
    PrinterDouble::FailGetPrinter(L"Mute (redirected 2)", ERROR_INVALID_HANDLE);
    EXPECT_EQ(nullptr, GetPDL(L"Closed (redirected 2)"));
    EXPECT_EQ(nullptr, GetPDL(L"Mute (redirected 2)"));
    EXPECT_EQ(nullptr, GetPDL(L"Nowhere"));
    EXPECT_TRUE(log.Has(",OpenPrinter,Closed (redirected 2),error 5", "GetDriverName"));
    EXPECT_TRUE(log.Has(",GetPrinter first,Mute (redirected 2),error 6", "GetDriverName"));
    EXPECT_EQ(3, log.Count(",return FALSE", "GetDriverName"));
}

TEST_F(TargetDrivers, DriverNameIsCutToItsBuffer)
{
    std::wstring longDriver(400, L'd');
    PrinterDouble::Add(L"Long", longDriver.c_str(), 0);
    WCHAR driver[MAX_PATH + 1];
    driver[MAX_PATH] = 0x7777;
    ASSERT_TRUE(GetDriverName(driver, L"Long"));
    EXPECT_EQ((size_t)MAX_PATH - 1, wcslen(driver));
    EXPECT_EQ(0x7777, driver[MAX_PATH]);
}

}  // namespace
