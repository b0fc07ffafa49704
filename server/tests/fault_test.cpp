// Faults in the middle of applying a printer's settings: the client gone
// mid-reply, the administrator tool killed mid-import, the server module
// killed mid-pass and started again. After each, the next good pass leaves
// the server's settings equal to the PC's, and no backup key, no staging key
// and no request file remain.
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include <vector>
#include "apply.h"
#include "crash_double.h"
#include "drivers.h"
#include "elevate.h"
#include "fakeclient.h"
#include "logon_double.h"
#include "printer_double.h"
#include "raii.h"
#include "regops.h"
#include "regtree.h"
#include "settings.h"
#include "simprinters.h"
#include "testutil.h"
#include "tool_runner.h"
#include "wts_double.h"

using svtest::Bytes;

namespace {

const WCHAR kPrinters[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\";
const WCHAR kUserRoot[] = L"Software\\Halvren\\DravoK";
// Set in the child process: "<tag>|<shared folder>".
const WCHAR kChildVar[] = L"QV_FAULT_CHILD";
// This test program's own kill point (its crash double's variable).
const WCHAR kSelfCrashVar[] = L"QV_SV_CRASH_AFTER_WRITES";

Bytes Image(LPCWSTR tag)
{
    return BuildImage({{L"", {{L"Model", REG_SZ, SzData(tag)}, {L"Resolution", REG_DWORD, DwordData(600)}}},
                       {L"Trays", {{L"Tray1", REG_SZ, SzData(L"A4")}, {L"Tray2", REG_SZ, SzData(L"B5")}}},
                       {L"Trays\\Deep", {{L"Blob", REG_BINARY, {1, 2, 3, 0xFF}}}}});
}

// Subkeys of parent whose names start with prefix.
std::vector<std::wstring> KeysLike(HKEY root, const std::wstring& parent, const std::wstring& prefix)
{
    std::vector<std::wstring> names;
    UniqueKey key;
    if (RegOpenKeyExW(root, parent.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return names;
    WCHAR name[256];
    for (DWORD i = 0, cch = ARRAYSIZE(name);
         RegEnumKeyExW(key.get(), i, name, &cch, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         i++, cch = ARRAYSIZE(name))
        if (std::wstring(name).compare(0, prefix.size(), prefix) == 0)
            names.push_back(name);
    return names;
}

int RequestFiles(const std::wstring& folder)
{
    WIN32_FIND_DATAW found;
    UniqueFind find(FindFirstFileW((folder + L"\\RDP*.tmp").c_str(), &found));
    int n = 0;
    for (BOOL more = find.valid(); more; more = FindNextFileW(find.get(), &found))
        n++;
    return n;
}

// One redirected printer, the PC's settings for it, and the account of the
// administrator tool. Parent and child process share keys, folder and
// account through the tag and the folder.
class Scene {
public:
    Scene(const std::wstring& tag, const std::wstring& folder) : folder_(folder)
    {
        local = L"QvFault" + tag;
        server = local + L" (redirected 2)";
        hklm = kPrinters + server + L"\\PrinterDriverData";
        hkcu = std::wstring(kUserRoot) + L"\\" + server;
        sim.Add(server);   // for the tool's worker
        devMode = svtest::DevMode(local.c_str(), 0x300, 40);
        reply = svtest::PropertiesReply(devMode, Image(L"machine"), Image(L"user"));
        Connect();
    }
    // The session, the spooler and the module's state as a fresh instance has them.
    void Connect()
    {
        WtsDouble::Reset();
        PrinterDouble::Reset();
        ReadTargetDriver((folder_ + L"\\nodrivers.ini").c_str());
        lstrcpynW(g_szCommonIni, (folder_ + L"\\common.ini").c_str(), MAX_PATH);
        PrinterDouble::Add(server.c_str(), L"Halvren Office Dravo", PRINTER_ATTRIBUTE_TS,
                           PrinterDouble::MakeDevMode(server.c_str(), 0x300));
        list.ClearAll();
        list.AddRedirectPrinter(server.c_str());
    }
    // The first process only: the server's settings before, the account.
    void Prepare()
    {
        Remove();
        Connect();
        SetValue(HKEY_LOCAL_MACHINE, hklm, L"Old", REG_SZ, SzData(L"server"));
        SetValue(HKEY_CURRENT_USER, hkcu + L"\\Sub", L"OldUser", REG_DWORD, DwordData(7));
        svtest::StoreAdminAccount(g_szCommonIni);
    }
    void Remove()
    {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kPrinters + server).c_str());
        for (const std::wstring& k : KeysLike(HKEY_CURRENT_USER, kUserRoot, server))
            RegDeleteTreeW(HKEY_CURRENT_USER, (std::wstring(kUserRoot) + L"\\" + k).c_str());
    }
    // The pass of an instance started afresh on a new connection.
    void FreshPass(const Bytes& answer)
    {
        list.ClearAll();
        list.AddRedirectPrinter(server.c_str());
        Pass(answer);
    }
    // The next pass that tries the printer (its retry has fallen due), and
    // the housekeeping that follows while nothing else is due.
    void Pass(const Bytes& answer)
    {
        svtest::FakeClient client([&](CRdpData&) { return answer; });
        svtest::RetryNow(list);
        ServerProc(list);
        DropAppliedBackups(list);
    }
    // The server's settings equal the PC's and nothing else is there.
    void ExpectApplied() const
    {
        Bytes set;
        ASSERT_TRUE(PrinterDouble::GetLevel9(server.c_str(), &set));
        EXPECT_EQ(devMode, set);
        EXPECT_EQ(svtest::TreeOf(Image(L"machine")), DumpTree(HKEY_LOCAL_MACHINE, hklm));
        EXPECT_EQ(svtest::TreeOf(Image(L"user")), DumpTree(HKEY_CURRENT_USER, hkcu));
        EXPECT_EQ(std::vector<std::wstring>{L"PrinterDriverData"}, KeysLike(HKEY_LOCAL_MACHINE, kPrinters + server, L""));
        EXPECT_EQ(std::vector<std::wstring>{server}, KeysLike(HKEY_CURRENT_USER, kUserRoot, server));
        EXPECT_EQ(0, RequestFiles(folder_));
    }

    CPrinterList list;
    SimPrinters sim{2};   // the tool's spooler and session: the printer's
    std::wstring local, server, hklm, hkcu;
    Bytes devMode, reply;

private:
    std::wstring folder_;
};

class Faults : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Request files go to a temporary folder of the test's own, which
        // the child process and the tool inherit.
        SetEnvironmentVariableW(L"TMP", folder.path().c_str());
        SetEnvironmentVariableW(L"TEMP", folder.path().c_str());
        scene.Prepare();
    }
    void TearDown() override
    {
        scene.Remove();
        SetEnvironmentVariableW(L"TMP", nullptr);
        SetEnvironmentVariableW(L"TEMP", nullptr);
        SetLogonDoubleAccount(nullptr, nullptr);
        g_szCommonIni[0] = 0;
    }
    // The server module as a process of its own, killed at the point the
    // variable names, in the middle of its pass.
    DWORD KilledPass(LPCWSTR killVar, LPCWSTR value)
    {
        std::wstring id = std::to_wstring(GetCurrentProcessId()) + L"|" + folder.path();
        SetEnvironmentVariableW(kChildVar, id.c_str());
        SetEnvironmentVariableW(killVar, value);
        PROCESS_INFORMATION pi;
        bool started = StartTool(L"server_fault_tests.exe",
                                 L"server_fault_tests --gtest_also_run_disabled_tests "
                                 L"--gtest_filter=FaultsChild.DISABLED_KilledPass", &pi);
        SetEnvironmentVariableW(killVar, nullptr);
        SetEnvironmentVariableW(kChildVar, nullptr);
        if (!started)
            return 0xBAD;
        DWORD code = WaitExit(pi, 60000);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
        return code;
    }

    svtest::TestLog log;
    svtest::TestEvents events;
    svtest::TempFolder folder{L"fault"};
    Scene scene{std::to_wstring(GetCurrentProcessId()), folder.path()};
};

TEST_F(Faults, NextPassHealsWhatEachFaultLeft)
{
    enum Kind { CLIENT_GONE, TOOL_KILLED, SERVER_KILLED_AT_TOOL, SERVER_KILLED_IN_IMPORT };
    static const struct {
        const char* name;
        Kind kind;
    } cases[] = {
        {"client host killed during the properties reply", CLIENT_GONE},
        {"administrator tool killed during the HKLM import", TOOL_KILLED},
        {"server module killed while its tool starts", SERVER_KILLED_AT_TOOL},
        {"server module killed during the HKCU import", SERVER_KILLED_IN_IMPORT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        auto settings = [&] { return DumpTree(HKEY_LOCAL_MACHINE, scene.hklm) + DumpTree(HKEY_CURRENT_USER, scene.hkcu); };
        const std::wstring before = settings();
        const int completed = log.Count(",,COMPLETE", "SetProperties");
        switch (c.kind) {
        case CLIENT_GONE: {
            // Half the reply arrives, then nothing: the link is gone.
            Bytes half(scene.reply.begin(), scene.reply.begin() + scene.reply.size() / 2);
            WtsDouble::DisconnectAfterTimeouts(1);
            scene.Pass(half);
            EXPECT_EQ(before, settings());
            WtsDouble::Reset();   // connected again
            scene.FreshPass(scene.reply);
            break;
        }
        case TOOL_KILLED:
            SetEnvironmentVariableW(L"QV_CRASH_AFTER_WRITES", L"2");
            scene.Pass(scene.reply);
            SetEnvironmentVariableW(L"QV_CRASH_AFTER_WRITES", nullptr);
            EXPECT_TRUE(log.Has("ImportReg error 49374", "RegOperationHKEY")) << log.Dump();
            // Put back at once: the old settings, not a half-written key.
            EXPECT_EQ(before, settings());
            scene.Pass(scene.reply);
            break;
        case SERVER_KILLED_AT_TOOL:
            ASSERT_EQ((DWORD)LOGON_DOUBLE_DIE_CODE, KilledPass(LOGON_DOUBLE_DIE_VAR, L"1"));
            EXPECT_EQ(1, RequestFiles(folder.path()));
            DeleteLeftoverRequests();   // as the next instance starts
            scene.FreshPass(scene.reply);
            break;
        case SERVER_KILLED_IN_IMPORT:
            ASSERT_EQ((DWORD)QV_CRASH_EXIT_CODE, KilledPass(kSelfCrashVar, L"2"));
            EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, scene.hkcu + REG_BACKUP_SUFFIX));
            EXPECT_NE(before, settings());
            DeleteLeftoverRequests();
            scene.FreshPass(scene.reply);
            break;
        }
        scene.ExpectApplied();
        EXPECT_EQ(1, log.Count(",,COMPLETE", "SetProperties") - completed) << log.Dump();
    }
}

// Not run on its own: the server module's pass in a process that its kill
// point ends (see Faults.KilledPass).
TEST(FaultsChild, DISABLED_KilledPass)
{
    WCHAR id[MAX_PATH + 32];
    if (!GetEnvironmentVariableW(kChildVar, id, ARRAYSIZE(id)))
        GTEST_SKIP() << "runs only as the child of Faults.NextPassHealsWhatEachFaultLeft";
    svtest::TestLog log;
    std::wstring text = id;
    size_t bar = text.find(L'|');
    Scene parent(text.substr(0, bar), text.substr(bar + 1));
    parent.Pass(parent.reply);
    ADD_FAILURE() << "the pass was not killed";
}

}  // namespace
