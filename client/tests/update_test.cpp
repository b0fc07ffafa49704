// Self-update across Remote Desktop client processes: the update right, the
// download into a temporary file and the swap with its ".bak" copy.
#include <gtest/gtest.h>
#include "hostsession.h"
#include <algorithm>
#include <string.h>

namespace {

const WORD CMD_GETFILEVER = 2, CMD_DOWNLOAD = 3;
const std::wstring LIB = CLIENT_LIB;
const std::wstring BAK = CLIENT_BAK;

struct FileVer {
    DWORD canUpdate = 0xFFFF, ms = 0, ls = 0;
    std::wstring name;
};

FileVer QueryFileVer(HostSession& host)
{
    FileVer f;
    Bytes reply = host.Request(MakeMessage(CMD_GETFILEVER, {}));
    ReplyView v(reply);
    EXPECT_EQ(CMD_GETFILEVER, v.cmd);
    EXPECT_EQ(0, v.res);
    f.canUpdate = v.Dword();
    f.name = v.Str();
    f.ms = v.Dword();
    f.ls = v.Dword();
    EXPECT_EQ(0u, v.Left());
    return f;
}

WORD Download(HostSession& host, DWORD total, const std::wstring& name, const Bytes& piece)
{
    Payload p;
    p.Dword(total);
    if (total)
        p.Str(name);
    p.Dword((DWORD)piece.size()).Raw(piece.data(), piece.size());
    Bytes reply = host.Request(MakeMessage(CMD_DOWNLOAD, p.bytes()));
    ReplyView v(reply);
    EXPECT_EQ(CMD_DOWNLOAD, v.cmd);
    EXPECT_EQ(0u, v.len);
    return reply.empty() ? 0xDEAD : v.res;
}

// Sends a file in pieces as the server does; the results of all pieces.
std::vector<WORD> SendFile(HostSession& host, const Bytes& file, size_t piece)
{
    std::vector<WORD> results;
    for (size_t done = 0; done < file.size(); done += piece) {
        Bytes part(file.begin() + done, file.begin() + std::min(file.size(), done + piece));
        results.push_back(Download(host, done ? 0 : (DWORD)file.size(), LIB, part));
        if (results.back() != 0)
            break;
    }
    return results;
}

std::wstring ServerName(const std::wstring& tag)
{
    return UniqueName(L"srv-" + tag) + L"-" + std::to_wstring(GetTickCount());
}

std::vector<std::wstring> TempFiles(const ScratchDir& dir)
{
    std::vector<std::wstring> temps;
    for (const std::wstring& n : dir.List())
        if (n.size() > 4 && n.compare(n.size() - 4, 4, L".tmp") == 0)
            temps.push_back(n);
    return temps;
}

class UpdateTest : public testing::Test {
protected:
    ScratchDir dir{ L"update" };
    std::wstring library = InstallSimLibrary(dir);
    Bytes original = ReadFileBytes(library);
    Bytes newer = ReadFileBytes(SimFolder() + L"qv_newver.dll");

    void SetUp() override
    {
        ASSERT_FALSE(original.empty());
        ASSERT_FALSE(newer.empty());
        ASSERT_NE(original, newer);
    }
};

TEST_F(UpdateTest, OnlyTheFirstProcessToConnectMayUpdate)
{
    ScratchDir otherDir(L"update-second");
    std::wstring otherLibrary = InstallSimLibrary(otherDir);
    HostSession first(library), second(otherLibrary);
    ASSERT_TRUE(first.Connect(ServerName(L"first")));
    FileVer a = QueryFileVer(first);
    ASSERT_TRUE(second.Connect(ServerName(L"second")));
    FileVer b = QueryFileVer(second);

    EXPECT_EQ(1u, a.canUpdate);
    EXPECT_EQ(0u, b.canUpdate);
    EXPECT_EQ(LIB, a.name);
    EXPECT_EQ(LIB, b.name) << "reported even without the update right";
    EXPECT_NE(0u, a.ms | a.ls);
    EXPECT_EQ(a.ms, b.ms);
    EXPECT_EQ(a.ls, b.ls);

    EXPECT_EQ(4, Download(second, (DWORD)newer.size(), LIB, newer));
    EXPECT_EQ(std::vector<std::wstring>{ LIB }, otherDir.List()) << "a refused download touches no file";
    EXPECT_EQ(original, ReadFileBytes(otherLibrary));

    // The right is released with the first process's connection.
    first.Disconnect();
    EXPECT_TRUE(first.Silent(300));
    second.Disconnect();
    second.Connect(ServerName(L"second-again"));
    EXPECT_EQ(1u, QueryFileVer(second).canUpdate);
}

// A copy installed under another name answers, and updates, as that file;
// the shipped name is reported as shipped whatever case it was loaded by.
TEST_F(UpdateTest, ReportsAndReplacesItsOwnFileName)
{
    ScratchDir lowerDir(L"update-lower");
    std::wstring lower = LIB;
    CharLowerW(&lower[0]);
    HostSession lowerHost(InstallSimLibrary(lowerDir, lower));
    ASSERT_TRUE(lowerHost.Connect(ServerName(L"lower")));
    EXPECT_EQ(LIB, QueryFileVer(lowerHost).name);
    EXPECT_EQ(0u, lowerHost.Finish());

    ScratchDir otherDir(L"update-renamed");
    std::wstring renamed = InstallSimLibrary(otherDir, L"Renamed.dll");
    HostSession host(renamed);
    ASSERT_TRUE(host.Connect(ServerName(L"renamed")));
    FileVer f = QueryFileVer(host);
    EXPECT_EQ(L"Renamed.dll", f.name);
    ASSERT_EQ(1u, f.canUpdate);
    EXPECT_EQ(1, Download(host, (DWORD)newer.size(), LIB, newer));
    EXPECT_EQ(0, Download(host, (DWORD)newer.size(), L"Renamed.dll", newer));
    EXPECT_EQ(newer, ReadFileBytes(renamed));
    EXPECT_EQ(original, ReadFileBytes(otherDir.File(L"Renamed.bak")));
    EXPECT_EQ(0u, host.Finish());
}

TEST_F(UpdateTest, OnePieceSwapsTheFileKeepsBakAndReportsTheNewVersion)
{
    WriteFileBytes(dir.File(BAK), Bytes(10, 'x'));   // an earlier update's copy is replaced
    HostSession host(library);
    ASSERT_TRUE(host.Connect(ServerName(L"one")));
    FileVer before = QueryFileVer(host);
    ASSERT_EQ(1u, before.canUpdate);

    EXPECT_EQ(std::vector<WORD>{ 0 }, SendFile(host, newer, newer.size()));
    EXPECT_EQ(newer, ReadFileBytes(library));
    EXPECT_EQ(original, ReadFileBytes(dir.File(BAK)));
    EXPECT_TRUE(TempFiles(dir).empty());

    // The running code is the old one; the version reported is the file's on disk.
    FileVer after = QueryFileVer(host);
    EXPECT_EQ(MAKELONG(8, 9), after.ms);
    EXPECT_EQ(MAKELONG(6, 7), after.ls);
    EXPECT_NE(before.ms, after.ms);
    EXPECT_EQ(0u, host.Finish());
}

TEST_F(UpdateTest, ManyPiecesSwapOnlyWithTheLast)
{
    DeleteFileW(dir.File(BAK).c_str());
    HostSession host(library);
    ASSERT_TRUE(host.Connect(ServerName(L"many")));
    ASSERT_EQ(1u, QueryFileVer(host).canUpdate);

    const size_t piece = 7000;   // each request travels in two blocks
    size_t pieces = (newer.size() + piece - 1) / piece;
    ASSERT_GE(pieces, 2u);
    Bytes first(newer.begin(), newer.begin() + piece);
    EXPECT_EQ(0, Download(host, (DWORD)newer.size(), LIB, first));
    EXPECT_EQ(original, ReadFileBytes(library)) << "swapped before the last piece";
    EXPECT_EQ(1u, TempFiles(dir).size());
    for (size_t done = piece; done < newer.size(); done += piece) {
        Bytes part(newer.begin() + done, newer.begin() + std::min(newer.size(), done + piece));
        EXPECT_EQ(0, Download(host, 0, L"", part)) << "piece at " << done;
    }
    EXPECT_EQ(newer, ReadFileBytes(library));
    EXPECT_EQ(original, ReadFileBytes(dir.File(BAK)));
    EXPECT_TRUE(TempFiles(dir).empty());
    EXPECT_EQ(MAKELONG(8, 9), QueryFileVer(host).ms);
}

TEST_F(UpdateTest, MissingModuleFileIsReplacedWithoutBackup)
{
    DeleteFileW(dir.File(BAK).c_str());
    HostSession host(library);
    ASSERT_TRUE(host.Connect(ServerName(L"missing")));
    ASSERT_EQ(1u, QueryFileVer(host).canUpdate);
    ASSERT_TRUE(MoveFileW(library.c_str(), dir.File(L"elsewhere.bin").c_str()));
    EXPECT_EQ(std::vector<WORD>{ 0 }, SendFile(host, newer, newer.size()));
    EXPECT_EQ(newer, ReadFileBytes(library));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(dir.File(BAK).c_str()));
    EXPECT_EQ(0u, host.Finish());
}

TEST_F(UpdateTest, FailedFinalRenamePutsTheOldFileBack)
{
    // The simulation library fails the rename of its temporary file.
    SetEnvironmentVariableW(L"QV_SIM_FAIL_MOVE", L".tmp");
    HostSession host(library);
    SetEnvironmentVariableW(L"QV_SIM_FAIL_MOVE", nullptr);
    std::wstring server = ServerName(L"undo");
    ASSERT_TRUE(host.Connect(server));
    ASSERT_EQ(1u, QueryFileVer(host).canUpdate);
    size_t half = newer.size() / 2;
    EXPECT_EQ(0, Download(host, (DWORD)newer.size(), LIB, Bytes(newer.begin(), newer.begin() + half)));
    EXPECT_EQ(3, Download(host, 0, L"", Bytes(newer.begin() + half, newer.end())));

    EXPECT_EQ(original, ReadFileBytes(library)) << "the module file must be back in place";
    EXPECT_TRUE(TempFiles(dir).empty()) << "the temporary file is deleted";
    EXPECT_EQ(0u, host.Finish());
    std::string log = ReadLogText(server);
    EXPECT_NE(std::string::npos, log.find(",255,E,UpdateDllFile,,"));
    EXPECT_NE(std::string::npos, log.find(",255,,UpdateDllFile,,")) << "the UNDO line";
    EXPECT_NE(std::string::npos, log.find(",UNDO\r\n"));
}

TEST_F(UpdateTest, BackupInUseStopsTheSwapBeforeAnythingMoves)
{
    WriteFileBytes(dir.File(BAK), Bytes(10, 'x'));
    HANDLE hold = CreateFileW(dir.File(BAK).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, hold);
    HostSession host(library);
    ASSERT_TRUE(host.Connect(ServerName(L"bakbusy")));
    ASSERT_EQ(1u, QueryFileVer(host).canUpdate);
    EXPECT_EQ(std::vector<WORD>{ 3 }, SendFile(host, newer, newer.size()));
    CloseHandle(hold);
    EXPECT_EQ(original, ReadFileBytes(library));
    EXPECT_EQ(Bytes(10, 'x'), ReadFileBytes(dir.File(BAK)));
    EXPECT_TRUE(TempFiles(dir).empty()) << "the temporary file is deleted";
}

TEST_F(UpdateTest, NamesOtherThanTheModuleFileAreRefused)
{
    const std::wstring names[] = {
        L"other.dll", L"..\\" + LIB, L"sub\\" + LIB, L"C:\\" + LIB,
        LIB + L"\\x", LIB.substr(0, LIB.size() - 1), L"", LIB + L":stream",
        CLIENT_OTHER_LIB,   // the add-in of the other bitness is not this one's to replace
    };
    HostSession host(library);
    ASSERT_TRUE(host.Connect(ServerName(L"names")));
    ASSERT_EQ(1u, QueryFileVer(host).canUpdate);
    std::vector<std::wstring> files = dir.List();
    for (const std::wstring& name : names)
        EXPECT_EQ(1, Download(host, 3, name, Bytes{ 1, 2, 3 })) << "name \"" << std::string(name.begin(), name.end()) << "\"";
    std::wstring tooLong(300, L'a');
    EXPECT_EQ(1, Download(host, 3, tooLong, Bytes{ 1, 2, 3 }));
    EXPECT_EQ(files, dir.List());
    EXPECT_EQ(original, ReadFileBytes(library));
}

TEST_F(UpdateTest, LaterPiecesNeverCompleteAnEarlierOrBrokenDownload)
{
    HostSession host(library);
    ASSERT_TRUE(host.Connect(ServerName(L"stale")));
    ASSERT_EQ(1u, QueryFileVer(host).canUpdate);
    size_t half = newer.size() / 2;
    Bytes head(newer.begin(), newer.begin() + half), tail(newer.begin() + half, newer.end());

    // A first piece that fails before its temporary file exists ends the earlier download.
    EXPECT_EQ(0, Download(host, (DWORD)newer.size(), LIB, head));
    EXPECT_EQ(1, Download(host, (DWORD)newer.size(), L"other.dll", head));
    EXPECT_EQ(1, Download(host, 0, L"", tail));
    EXPECT_EQ(original, ReadFileBytes(library));

    // A piece reaching past the announced total is not written, and ends the download.
    EXPECT_EQ(0, Download(host, (DWORD)newer.size(), LIB, head));
    Bytes tooMuch(tail);
    tooMuch.push_back(0);
    EXPECT_EQ(2, Download(host, 0, L"", tooMuch));
    EXPECT_EQ(1, Download(host, 0, L"", tail));
    EXPECT_EQ(original, ReadFileBytes(library));

    // A continuation without any download.
    EXPECT_EQ(1, Download(host, 0, L"", tail));
    EXPECT_EQ(original, ReadFileBytes(library));
}

// A download cut off by a client process killed mid-way or by a disconnect
// leaves no temporary file once the next connection has updated.
TEST_F(UpdateTest, InterruptedDownloadLeavesNothingOnceUpdated)
{
    size_t half = newer.size() / 2;
    Bytes head(newer.begin(), newer.begin() + half);
    for (bool killed : {true, false}) {
        SCOPED_TRACE(killed ? "host killed" : "disconnected");
        CopyFileW((SimFolder() + LIB).c_str(), library.c_str(), FALSE);
        DeleteFileW(dir.File(BAK).c_str());
        {
            HostSession host(library);
            ASSERT_TRUE(host.Connect(ServerName(L"cut")));
            ASSERT_EQ(1u, QueryFileVer(host).canUpdate);
            ASSERT_EQ(0, Download(host, (DWORD)newer.size(), LIB, head));
            ASSERT_EQ(1u, TempFiles(dir).size());
            if (killed) {
                host.Kill();
                EXPECT_EQ(1u, TempFiles(dir).size());
            } else {
                ASSERT_TRUE(host.Disconnect());
                for (int i = 0; i < 100 && !TempFiles(dir).empty(); i++)
                    Sleep(50);   // the host handles the disconnect on its own thread
                EXPECT_TRUE(TempFiles(dir).empty());
            }
        }
        EXPECT_EQ(original, ReadFileBytes(library));
        HostSession again(library);
        ASSERT_TRUE(again.Connect(ServerName(L"again")));
        ASSERT_EQ(1u, QueryFileVer(again).canUpdate);
        EXPECT_TRUE(TempFiles(dir).empty());
        EXPECT_EQ(std::vector<WORD>(2, 0), SendFile(again, newer, half + 1));
        EXPECT_TRUE(TempFiles(dir).empty());
        EXPECT_EQ(newer, ReadFileBytes(library));
    }
}

}  // namespace

// --- what the add-in accepts as its own next version -------------------------

namespace {

std::wstring TrustFile(const std::wstring& name)
{
    return SimFolder() + L"trust\\" + name;
}

// The version resource's VS_FIXEDFILEINFO starts with its signature, after
// the resource's key; the file version follows it. (Code may hold the
// signature's bytes too.)
size_t FixedInfoAt(const Bytes& file)
{
    const wchar_t key[] = L"VS_VERSION_INFO";
    const BYTE* k = (const BYTE*)key;
    const BYTE sig[] = { 0xBD, 0x04, 0xEF, 0xFE };
    auto at = std::search(file.begin(), file.end(), k, k + sizeof key);
    at = std::search(at, file.end(), sig, sig + 4);
    return at == file.end() ? 0 : (size_t)(at - file.begin());
}

Bytes WithVersion(Bytes file, DWORD ms, DWORD ls)
{
    size_t at = FixedInfoAt(file);
    if (at) {
        memcpy(&file[at + 8], &ms, 4);
        memcpy(&file[at + 12], &ls, 4);
    }
    return file;
}

Bytes WithMachine(Bytes file, WORD machine)
{
    DWORD nt = 0;
    memcpy(&nt, &file[0x3C], 4);
    memcpy(&file[nt + 4], &machine, 2);
    return file;
}

struct TrustFiles {
    Bytes original = ReadFileBytes(SimFolder() + LIB);
    Bytes newer = ReadFileBytes(SimFolder() + L"qv_newver.dll");
    Bytes runningSigned = ReadFileBytes(TrustFile(L"running_signed.dll"));
    Bytes newerOurs = ReadFileBytes(TrustFile(L"newer_ours.dll"));
    Bytes newerLookalike = ReadFileBytes(TrustFile(L"newer_lookalike.dll"));
    Bytes newerChanged = ReadFileBytes(TrustFile(L"newer_ours_changed.dll"));
    DWORD ms = 0, ls = 0;   // the running add-in's version
    TrustFiles()
    {
        size_t at = FixedInfoAt(original);
        if (at) {
            memcpy(&ms, &original[at + 8], 4);
            memcpy(&ls, &original[at + 12], 4);
        }
    }
};

#ifdef _WIN64
const WORD OTHER_MACHINE = IMAGE_FILE_MACHINE_I386;
#else
const WORD OTHER_MACHINE = IMAGE_FILE_MACHINE_AMD64;
#endif

struct HostileDownload {
    const char* what;
    bool signedRunning;        // the running add-in carries our signature
    bool askVersion;           // the server asked for the version first
    DWORD announced;           // the first piece's total, 0: the file's size
    Bytes (*file)(const TrustFiles&);
    const char* reason;        // the refusal the client logs
};

const HostileDownload kHostileDownloads[] = {
    { "not a PE file", false, true, 0,
      [](const TrustFiles&) { return Bytes(4096, 'M'); }, "not a PE file" },
    { "the other bitness", false, true, 0,
      [](const TrustFiles& f) { return WithMachine(f.newer, OTHER_MACHINE); }, "other machine type" },
    { "a lower version", false, true, 0,
      [](const TrustFiles& f) { return WithVersion(f.newer, f.ms, f.ls - 1); }, "not newer" },
    { "the same version", false, true, 0,
      [](const TrustFiles& f) { return WithVersion(f.newer, f.ms, f.ls); }, "not newer" },
    { "signed add-in: an unsigned newer file", true, true, 0,
      [](const TrustFiles& f) { return f.newer; }, "no intact signature" },
    { "signed add-in: newer, signed by a look-alike", true, true, 0,
      [](const TrustFiles& f) { return f.newerLookalike; }, "signer is not ours" },
    { "signed add-in: newer, ours, one byte changed", true, true, 0,
      [](const TrustFiles& f) { return f.newerChanged; }, "no intact signature" },
    { "no version query first", false, false, 0,
      [](const TrustFiles& f) { return f.newer; }, "no version query" },
    { "an absurd announced total", false, true, 16 * 1024 * 1024 + 1,
      [](const TrustFiles& f) { return f.newer; }, "too large" },
};

class TrustedUpdateTest : public testing::Test {
protected:
    TrustFiles files;
    void SetUp() override
    {
        for (const Bytes* b : { &files.original, &files.newer, &files.runningSigned, &files.newerOurs,
                                &files.newerLookalike, &files.newerChanged })
            ASSERT_FALSE(b->empty());
        ASSERT_NE(0u, files.ms | files.ls);
    }
};

TEST_F(TrustedUpdateTest, HostileDownloadsLeaveTheAddinAsItWas)
{
    for (const HostileDownload& row : kHostileDownloads) {
        SCOPED_TRACE(row.what);
        ScratchDir rowDir(L"hostile");
        const Bytes& running = row.signedRunning ? files.runningSigned : files.original;
        ASSERT_TRUE(WriteFileBytes(rowDir.File(LIB), running));
        ASSERT_TRUE(WriteFileBytes(rowDir.File(BAK), Bytes(10, 'x')));
        std::vector<std::wstring> listing = rowDir.List();
        Bytes file = row.file(files);
        std::wstring server = ServerName(L"hostile");
        {
            HostSession host(rowDir.File(LIB));
            ASSERT_TRUE(host.Connect(server));
            if (row.askVersion) {
                ASSERT_EQ(1u, QueryFileVer(host).canUpdate);
            }
            WORD status = row.announced ? Download(host, row.announced, LIB, Bytes(file.begin(), file.begin() + 1000))
                                        : SendFile(host, file, file.size()).back();
            EXPECT_EQ(4, status) << "the server shows its update error for 4";
            EXPECT_EQ(0u, host.Finish());
        }
        EXPECT_EQ(running, ReadFileBytes(rowDir.File(LIB)));
        EXPECT_EQ(Bytes(10, 'x'), ReadFileBytes(rowDir.File(BAK)));
        EXPECT_EQ(listing, rowDir.List());
        EXPECT_NE(std::string::npos, ReadLogText(server).find(std::string(",refused,") + row.reason));
    }
}

TEST_F(TrustedUpdateTest, NewerFileSignedByOurCertificateIsSwappedIn)
{
    ScratchDir signedDir(L"signed");
    std::wstring library = signedDir.File(LIB);
    ASSERT_TRUE(WriteFileBytes(library, files.runningSigned));
    HostSession host(library);
    ASSERT_TRUE(host.Connect(ServerName(L"signed")));
    ASSERT_EQ(1u, QueryFileVer(host).canUpdate);
    EXPECT_EQ(std::vector<WORD>{ 0 }, SendFile(host, files.newerOurs, files.newerOurs.size()));
    EXPECT_EQ(files.newerOurs, ReadFileBytes(library));
    EXPECT_EQ(files.runningSigned, ReadFileBytes(signedDir.File(BAK)));
    EXPECT_EQ(0u, host.Finish());
}

// The machine's administrator turns updates off for every user of the PC.
TEST_F(TrustedUpdateTest, MachinePolicyTurnsUpdatesOff)
{
    const wchar_t* key = L"SOFTWARE\\Policies\\Halvren KT\\Quorvane\\Client";
    HKEY k = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                                             nullptr, &k, nullptr));
    DWORD one = 1;
    RegSetValueExW(k, L"DisableUpdate", 0, REG_DWORD, (const BYTE*)&one, sizeof one);
    RegCloseKey(k);
    ScratchDir policyDir(L"policy");
    std::wstring library = policyDir.File(LIB);
    ASSERT_TRUE(WriteFileBytes(library, files.original));
    std::wstring server = ServerName(L"policy");
    HostSession host(library);
    ASSERT_TRUE(host.Connect(server));
    FileVer f = QueryFileVer(host);
    EXPECT_EQ(4, Download(host, (DWORD)files.newer.size(), LIB, files.newer));
    EXPECT_EQ(0u, host.Finish());
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key, KEY_WOW64_64KEY, 0);
    EXPECT_EQ(0u, f.canUpdate);
    EXPECT_EQ(LIB, f.name);
    EXPECT_EQ(files.original, ReadFileBytes(library));
    EXPECT_EQ(std::vector<std::wstring>{ LIB }, policyDir.List());
    EXPECT_NE(std::string::npos, ReadLogText(server).find(",cannot update,disabled by policy"));
}

}  // namespace
