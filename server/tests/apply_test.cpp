// Applying a local printer's settings through the doubles: the spooler
// double, the scripted client module, the real registry, and the real
// administrator tool (started through the logon double) for HKLM.
#include <gtest/gtest.h>
#include <windows.h>
#include <stddef.h>
#include <memory>
#include <string>
#include "apply.h"
#include "drivers.h"
#include "fakeclient.h"
#include "logon_double.h"
#include "printer_double.h"
#include "rdpcmd.h"
#include "regops.h"
#include "regtree.h"
#include "simprinters.h"
#include "settings.h"
#include "testutil.h"
#include "wts_double.h"

using svtest::Bytes;

namespace {

const WCHAR kPrinters[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\";

Bytes SampleImage(LPCWSTR tag)
{
    return BuildImage({{L"", {{L"Model", REG_SZ, SzData(tag)}, {L"Resolution", REG_DWORD, DwordData(600)}, {L"", REG_SZ, SzData(L"default")}}},
                       {L"Trays", {{L"Tray1", REG_SZ, SzData(L"A4")}, {L"Blob", REG_BINARY, {1, 2, 3, 0xFF}}}},
                       {L"Trays\\Deep", {}}});
}

class Apply : public ::testing::Test {
protected:
    void SetUp() override
    {
        WtsDouble::Reset();
        PrinterDouble::Reset();
        ASSERT_TRUE(ReadTargetDriver(folder.File(L"nodrivers.ini").c_str()));
        local = L"QvApply" + std::to_wstring(GetCurrentProcessId());
        server = local + L" (redirected 2)";
        hklm = kPrinters + server + L"\\PrinterDriverData";
        hkcu = L"Software\\Halvren\\DravoK\\" + server;
        sim.reset();   // its variable goes before the next one is set
        sim.reset(new SimPrinters(2));   // the tool's worker sees the printer in session 2
        sim->Add(server);
        RemoveKeys();
        SetValue(HKEY_LOCAL_MACHINE, hklm, L"Old", REG_SZ, SzData(L"server"));
        SetValue(HKEY_CURRENT_USER, hkcu + L"\\Sub", L"OldUser", REG_DWORD, DwordData(7));
        beforeHklm = DumpTree(HKEY_LOCAL_MACHINE, hklm);
        beforeHkcu = DumpTree(HKEY_CURRENT_USER, hkcu);
        svtest::StoreAdminAccount(folder.File(L"common.ini"));
        list.ClearAll();
        list.AddRedirectPrinter(server.c_str());
    }
    void TearDown() override
    {
        RemoveKeys();
        g_szCommonIni[0] = 0;
        SetLogonDoubleAccount(nullptr, nullptr);
    }
    void RemoveKeys()
    {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kPrinters + server).c_str());
        RegDeleteTreeW(HKEY_CURRENT_USER, hkcu.c_str());
        RegDeleteTreeW(HKEY_CURRENT_USER, (hkcu + L"_backup").c_str());
    }
    void AddServerPrinter(WORD version)
    {
        PrinterDouble::Add(server.c_str(), L"Halvren Office Dravo", PRINTER_ATTRIBUTE_TS,
                           PrinterDouble::MakeDevMode(server.c_str(), version));
    }
    bool Level9(Bytes* dm) { return PrinterDouble::GetLevel9(server.c_str(), dm); }
    int Attempts() { return list.Entry(0)->nAttempts; }
    LONG ToolRuns() { return GetLogonDoubleTrace()->calls; }
    bool Untouched()
    {
        Bytes dm;
        return !Level9(&dm) && DumpTree(HKEY_LOCAL_MACHINE, hklm) == beforeHklm &&
               DumpTree(HKEY_CURRENT_USER, hkcu) == beforeHkcu;
    }

    svtest::TestLog log;
    svtest::TestEvents events;
    svtest::TempFolder folder{L"apply"};
    std::unique_ptr<SimPrinters> sim;
    CPrinterList list;
    std::wstring local, server, hklm, hkcu, beforeHklm, beforeHkcu;
};

TEST_F(Apply, RequestNamesTheLocalPrinterAndItsKeys)
{
    AddServerPrinter(0x300);
    svtest::FakeClient client([](CRdpData&) { return Bytes(); });
    WtsDouble::DisconnectAfterTimeouts(1);
    ServerProc(list);
    auto requests = client.Requests();
    ASSERT_EQ(1u, requests.size());
    WCHAR name[CCH_PRINTER_NAME], machine[CCH_REG_PATH], user[CCH_REG_PATH];
    ASSERT_NE(RDP_STRING_BAD, requests[0].GetString(name, ARRAYSIZE(name)));
    ASSERT_NE(RDP_STRING_BAD, requests[0].GetString(machine, ARRAYSIZE(machine)));
    ASSERT_NE(RDP_STRING_BAD, requests[0].GetString(user, ARRAYSIZE(user)));
    EXPECT_EQ(RDP_CMD_GETPROPERTIES, requests[0].Cmd());
    EXPECT_EQ(local, name);
    EXPECT_EQ(kPrinters + local + L"\\PrinterDriverData", machine);
    EXPECT_EQ(L"Software\\Halvren\\DravoK\\" + local, user);
    EXPECT_EQ(0, WtsDouble::OpenChannels());
}

// One reply each, from a client whose device mode has driver version 0x300.
TEST_F(Apply, OutcomesOfOneReply)
{
    static const struct {
        const char* name;
        WORD serverVersion;
        bool emptyImages, noDevMode;
        DWORD level9Error;
        bool applied;     // device mode set and both trees equal to the images
        int attempts;     // left afterwards
        LONG toolRuns;    // administrator tool starts (HKLM), the backup's drop after the pass included
        const char* line;
        int lineCount;
    } cases[] = {
        {"equal driver versions", 0x300, false, false, 0, true, 0, 2, ",,COMPLETE", 1},
        {"newer server driver", 0x301, false, false, 0, true, 0, 2, "SV=0301h CL=0300h", 1},
        {"older server driver", 0x2FF, false, false, 0, false, 0, 0, "SV=02FFh CL=0300h", 1},
        {"empty images", 0x300, true, false, 0, false, 0, 1, "ImportReg no data", 2},
        {"no device mode", 0x300, false, true, 0, false, 4, 0, ",No DEVMODE", 1},
        {"level 9 refused", 0x300, false, false, ERROR_INVALID_PARAMETER, false, 4, 2, "RestoreReg success", 2},
        {"access denied", 0x300, false, false, ERROR_ACCESS_DENIED, false, 0, 2, "RestoreReg success", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        AddServerPrinter(c.serverVersion);
        if (c.level9Error)
            PrinterDouble::FailSetLevel9(server.c_str(), c.level9Error);
        Bytes devMode = svtest::DevMode(local.c_str(), 0x300, 40);
        Bytes hklmImage = c.emptyImages ? Bytes() : SampleImage(L"machine");
        Bytes hkcuImage = c.emptyImages ? Bytes() : SampleImage(L"user");
        Bytes reply = svtest::PropertiesReply(c.noDevMode ? Bytes() : devMode, hklmImage, hkcuImage);
        svtest::FakeClient client([&](CRdpData&) { return reply; });
        LONG runs = ToolRuns();
        int lines = log.Count(c.line), deletes = log.Count("DeleteBackupReg success");
        ServerProc(list);
        // The pass starts the tool for the import alone; an applied
        // printer's HKLM backup is dropped when the loop has time.
        LONG duringPass = ToolRuns() - runs;
        DropAppliedBackups(list);
        EXPECT_FALSE(list.Entry(0)->bHklmBackup);

        EXPECT_EQ(c.attempts, Attempts());
        EXPECT_EQ(c.toolRuns, ToolRuns() - runs);
        EXPECT_EQ(c.toolRuns - (c.applied || c.emptyImages ? 1 : 0), duringPass);
        EXPECT_EQ(c.lineCount, log.Count(c.line) - lines) << log.Dump();
        Bytes set;
        if (c.applied) {
            ASSERT_TRUE(Level9(&set));
            EXPECT_EQ(devMode, set);
            EXPECT_EQ(svtest::TreeOf(hklmImage), DumpTree(HKEY_LOCAL_MACHINE, hklm));
            EXPECT_EQ(svtest::TreeOf(hkcuImage), DumpTree(HKEY_CURRENT_USER, hkcu));
        } else if (c.emptyImages) {
            ASSERT_TRUE(Level9(&set));
            EXPECT_EQ(devMode, set);
            EXPECT_EQ(2, log.Count("DeleteBackupReg success") - deletes);
            EXPECT_EQ(beforeHklm, DumpTree(HKEY_LOCAL_MACHINE, hklm));
            EXPECT_EQ(beforeHkcu, DumpTree(HKEY_CURRENT_USER, hkcu));
        } else {
            // Refused or restored: both keys byte for byte as before.
            EXPECT_TRUE(Untouched()) << log.Dump();
        }
        if (c.applied || c.emptyImages) {
            EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, hklm + L"_backup"));
            EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, hkcu + L"_backup"));
        }
    }
}

// A backup whose drop was still waiting when the printer is applied again
// goes first: kept, it would read as an unfinished import's, and a failure
// would then bring back the state of two applies ago.
TEST_F(Apply, AnApplyAgainDropsTheWaitingBackupFirst)
{
    AddServerPrinter(0x300);
    Bytes dm = svtest::DevMode(local.c_str(), 0x300, 40);
    Bytes first = SampleImage(L"first");
    Bytes reply = svtest::PropertiesReply(dm, first, first);
    svtest::FakeClient client([&](CRdpData&) { return reply; });
    ServerProc(list);
    ASSERT_TRUE(list.Entry(0)->bHklmBackup) << log.Dump();

    reply = svtest::PropertiesReply(dm, SampleImage(L"second"), SampleImage(L"second"));
    PrinterDouble::FailSetLevel9(server.c_str(), ERROR_INVALID_PARAMETER);
    GiveAttemptsBack(list.Entry(0));
    ServerProc(list);
    EXPECT_EQ(svtest::TreeOf(first), DumpTree(HKEY_LOCAL_MACHINE, hklm)) << log.Dump();
    EXPECT_FALSE(list.Entry(0)->bHklmBackup);
}

Bytes WithDword(Bytes reply, size_t offset, DWORD value)
{
    memcpy(reply.data() + offset, &value, sizeof value);
    return reply;
}

// Every malformed reply costs one attempt and reaches neither the registry
// nor the spooler nor the administrator tool.
TEST_F(Apply, MalformedRepliesApplyNothing)
{
    AddServerPrinter(0x300);
    Bytes dm = svtest::DevMode(local.c_str(), 0x300, 40);
    Bytes image = SampleImage(L"x");
    Bytes good = svtest::PropertiesReply(dm, image, image);
    const size_t payload = sizeof(RDPHEADER);
    const size_t dmAt = payload + 4, hklmCount = dmAt + dm.size(), hklmAt = hklmCount + 4;
    const size_t hkcuCount = hklmAt + image.size();
    Bytes shortDm = dm;
    WORD small = 60;
    memcpy(shortDm.data() + offsetof(DEVMODEW, dmSize), &small, sizeof small);
    WORD extra = 41;
    Bytes badExtra = dm;
    memcpy(badExtra.data() + offsetof(DEVMODEW, dmDriverExtra), &extra, sizeof extra);
    Bytes badImage = image;
    badImage[sizeof(REGIMAGEHEADER) + 4] = 0x7F;   // first key's value count
    Bytes trailing = good;
    trailing.push_back(0);
    static const char* names[] = {"DEVMODE size beyond the reply", "dmSize too small",
                                  "dmSize + dmDriverExtra differ", "HKLM image size beyond the reply",
                                  "HKCU image size beyond the reply", "HKLM image malformed",
                                  "HKCU image malformed", "bytes after the last item"};
    Bytes replies[] = {
        WithDword(good, payload, (DWORD)(good.size())),
        svtest::PropertiesReply(shortDm, image, image),
        svtest::PropertiesReply(badExtra, image, image),
        WithDword(good, hklmCount, 0xFFFFFFF0),
        WithDword(good, hkcuCount, (DWORD)image.size() + 1),
        svtest::PropertiesReply(dm, badImage, image),
        svtest::PropertiesReply(dm, image, badImage),
        trailing,
    };
    for (size_t i = 0; i < ARRAYSIZE(replies); i++) {
        SCOPED_TRACE(names[i]);
        // The header's len follows the bytes, as a real reply's would.
        Bytes reply = WithDword(replies[i], 0, (DWORD)(replies[i].size() - payload));
        list.Entry(0)->nAttempts = 5;
        svtest::RetryNow(list);
        svtest::FakeClient client([&](CRdpData&) { return reply; });
        LONG runs = ToolRuns();
        ServerProc(list);
        EXPECT_EQ(4, Attempts());
        EXPECT_EQ(0, ToolRuns() - runs);
        EXPECT_TRUE(Untouched());
        EXPECT_TRUE(log.Has(names[i], "SetProperties")) << log.Dump();
    }
}

TEST_F(Apply, UnusablePrinterNameIsNeverAskedFor)
{
    std::wstring names[] = {local + L"(redirected 2)", L"QvNoParen" + local};
    for (auto& name : names) {
        PrinterDouble::Add(name.c_str(), L"Halvren Office Dravo", PRINTER_ATTRIBUTE_TS);
        list.AddRedirectPrinter(name.c_str());
    }
    // A printer without a PDL identifier: its driver left the target table.
    PrinterDouble::Add(server.c_str(), L"Some Other Driver", PRINTER_ATTRIBUTE_TS);
    svtest::FakeClient client([](CRdpData&) { return Bytes(); });
    for (int pass = 0; pass < 2; pass++)
        ServerProc(list);
    EXPECT_EQ(0, WtsDouble::WriteCalls());
    for (int i = 0; i < list.Count(); i++) {
        EXPECT_EQ(5, list.Entry(i)->nAttempts);
        EXPECT_EQ(PRINTER_WAITING, list.State(i));
        EXPECT_EQ(i == 0 ? REASON_NO_PDL : REASON_NO_LOCAL_NAME, list.Reason(i)) << i;
    }
    EXPECT_EQ(6, log.Count(",error on server,", "ServerProc"));
}

TEST_F(Apply, FiveFailedAttemptsThenNoMore)
{
    AddServerPrinter(0x300);
    WtsDouble::FailOpen(ERROR_FILE_NOT_FOUND);
    for (int pass = 0; pass < 6; pass++) {
        ServerProc(list);
        ServerProc(list);   // at once: the printer's next try is not due yet
        svtest::RetryNow(list);
    }
    EXPECT_EQ(0, Attempts());
    EXPECT_EQ(5, log.Count(",WTSVirtualChannelOpen,error 2", "ServerProc"));
    EXPECT_EQ(1, log.Count(",retry END", "SetProperties"));
    EXPECT_EQ(1, log.Count(",retry last 1", "SetProperties"));
}

TEST_F(Apply, ExitEndsThePassBeforeTheNextPrinter)
{
    AddServerPrinter(0x300);
    events.SetExit();
    svtest::FakeClient client([](CRdpData&) { return Bytes(); });
    ServerProc(list);
    EXPECT_EQ(0, WtsDouble::WriteCalls());
    EXPECT_EQ(5, Attempts());
    EXPECT_TRUE(log.Has(",exit", "ServerProc"));
}

}  // namespace
