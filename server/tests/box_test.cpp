// What the watch thread shows the user: the update question and its result,
// a printer the client module failed on, and an exit request ending a box
// nobody answers. Real message boxes on the test display, answered by a
// thread that plays the user.
#include <gtest/gtest.h>
#include <windows.h>
#include <process.h>
#include <memory>
#include <string>
#include <vector>
#include <wtsapi32.h>
#include "apply.h"
#include "frame.h"
#include "drivers.h"
#include "fakeclient.h"
#include "module.h"
#include "printer_double.h"
#include "rdpcmd.h"
#include "resource.h"
#include "server.h"
#include "testutil.h"
#include "tool_runner.h"
#include "update.h"
#include "watchbox.h"
#include "wts_double.h"

using svtest::Bytes;

namespace {

BOOL CALLBACK OurBox(HWND wnd, LPARAM lp)
{
    DWORD pid = 0;
    WCHAR cls[16];
    GetWindowThreadProcessId(wnd, &pid);
    if (pid == GetCurrentProcessId() && IsWindowVisible(wnd) && GetClassNameW(wnd, cls, ARRAYSIZE(cls)) &&
        lstrcmpW(cls, L"#32770") == 0) {
        *(HWND*)lp = wnd;
        return FALSE;
    }
    return TRUE;
}

// The user: answers each box of this process (a question with `answer`,
// anything else with OK) and remembers its text.
class User {
public:
    explicit User(int answer = IDNO, bool silent = false) : answer_(answer), silent_(silent)
    {
        stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = (HANDLE)_beginthreadex(nullptr, 0, Run, this, 0, nullptr);
    }
    ~User()
    {
        SetEvent(stop_);
        WaitForSingleObject(thread_, 10000);
        CloseHandle(thread_);
        CloseHandle(stop_);
    }
    std::vector<std::wstring> Seen() { Sleep(100); CritSec(); auto s = seen_; LeaveCriticalSection(&cs_); return s; }
    bool Showing() { HWND box = nullptr; EnumWindows(OurBox, (LPARAM)&box); return box != nullptr; }

private:
    static unsigned __stdcall Run(void* p) { ((User*)p)->Loop(); return 0; }
    void CritSec() { EnterCriticalSection(&cs_); }
    void Loop()
    {
        while (WaitForSingleObject(stop_, 30) == WAIT_TIMEOUT) {
            HWND box = nullptr;
            EnumWindows(OurBox, (LPARAM)&box);
            if (!box || box == last_ || silent_)
                continue;
            std::wstring text = MessageBoxText(box);
            CritSec();
            seen_.push_back(text);
            LeaveCriticalSection(&cs_);
            last_ = box;
            int answer = GetDlgItem(box, IDYES) ? answer_ : IDOK;
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), 0);
        }
    }
    int answer_;
    bool silent_;
    HWND last_ = nullptr;
    HANDLE stop_, thread_;
    std::vector<std::wstring> seen_;
    CRITICAL_SECTION cs_ = [] { CRITICAL_SECTION c; InitializeCriticalSection(&c); return c; }();
};

std::wstring Text(UINT id)
{
    WCHAR text[512] = L"";
    LoadStringW(GetModuleHandleW(nullptr), id, text, ARRAYSIZE(text));
    return text;
}

// The client module's answers: greeting, version (as given), download pieces.
struct Client {
    DWORD canUpdate = 1, ms = 0, ls = 0;
    std::wstring name = CLIENT_DLL_NAME;
    std::vector<int> pieceResults;   // -1: no reply
    Bytes operator()(CRdpData& request)
    {
        if (request.Cmd() == RDP_CMD_GETFILEVER) {
            CRdpData reply(RDP_CMD_GETFILEVER, RDP_RES_OK);
            reply.AddDWORD(canUpdate);
            reply.AddString(name.c_str());
            reply.AddDWORD(ms);
            reply.AddDWORD(ls);
            return svtest::ReplyBytes(reply);
        }
        size_t i = pieces++;
        int res = i < pieceResults.size() ? pieceResults[i] : 0;
        if (res < 0) {
            WtsDouble::DisconnectAfterTimeouts(1);
            return Bytes();
        }
        return svtest::ReplyBytes(CRdpData(RDP_CMD_DOWNLOAD, (WORD)res));
    }
    size_t pieces = 0;
};

class Boxes : public ::testing::Test {
protected:
    void SetUp() override
    {
        WtsDouble::Reset();
        PrinterDouble::Reset();
        g_hInst = GetModuleHandleW(nullptr);
        g_hMainWnd = nullptr;
        // The server's copy of the client file: the server module, a
        // versioned file of several pieces (this program is ten times larger
        // and would only make every download slower).
        const std::wstring source = WinPath(QV_SV_EXE);
        WCHAR self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        copy = self;
        copy = copy.substr(0, copy.rfind(L'\\') + 1) + CLIENT_DLL_NAME;
        copy64 = copy.substr(0, copy.rfind(L'\\') + 1) + CLIENT_DLL_NAME64;
        ASSERT_TRUE(CopyFileW(source.c_str(), copy.c_str(), FALSE));
        ASSERT_TRUE(CopyFileW(source.c_str(), copy64.c_str(), FALSE));
        ASSERT_EQ(0u, GetFileVersionMSLS(copy.c_str(), &ms, &ls));
        channel = WTSVirtualChannelOpen(nullptr, 0, (LPSTR)RDP_CHANNEL_NAME);
    }
    void TearDown() override
    {
        WTSVirtualChannelClose(channel);
        DeleteFileW(copy.c_str());
        DeleteFileW(copy64.c_str());
    }
    svtest::TestLog log;
    svtest::TestEvents events;
    std::wstring copy, copy64;
    DWORD ms = 0, ls = 0;
    HANDLE channel = nullptr;
};

TEST_F(Boxes, UpdateQuestionAndItsOneResult)
{
    static const struct {
        const char* name;
        int dMs, dLs;        // client version relative to the server copy's
        DWORD canUpdate;
        LPCWSTR file;
        int answer;
        std::vector<int> pieces;
        bool asked;
        UINT result;         // 0: no result box
    } cases[] = {
        {"client MS higher, LS lower", 1, -1, 1, CLIENT_DLL_NAME, IDYES, {}, false, 0},
        {"equal", 0, 0, 1, CLIENT_DLL_NAME, IDYES, {}, false, 0},
        {"may not update", 0, -1, 0, CLIENT_DLL_NAME, IDYES, {}, false, 0},
        {"not a client file name", 0, -1, 1, L"..\\Quorvane_Admin.exe", IDYES, {}, false, 0},
        {"same MS, LS lower, No", 0, -1, 1, CLIENT_DLL_NAME, IDNO, {}, true, 0},
        {"MS lower, done", -1, 5, 1, CLIENT_DLL_NAME, IDYES, {}, true, IDS_UPDATE_DONE},
        {"64-bit add-in, done", 0, -1, 1, CLIENT_DLL_NAME64, IDYES, {}, true, IDS_UPDATE_DONE},
        {"writing failed", 0, -1, 1, CLIENT_DLL_NAME, IDYES, {0, 2}, true, IDS_UPDATE_WRITE_ERROR},
        {"swap failed", 0, -1, 1, CLIENT_DLL_NAME, IDYES, {0, 0, 3}, true, IDS_UPDATE_SWAP_ERROR},
        {"may not update after all", 0, -1, 1, CLIENT_DLL_NAME, IDYES, {4}, true, IDS_UPDATE_SWAP_ERROR},
        {"no temporary file", 0, -1, 1, CLIENT_DLL_NAME, IDYES, {1}, true, IDS_UPDATE_BAD_REPLY},
        {"client exception", 0, -1, 1, CLIENT_DLL_NAME, IDYES, {0xFE21}, true, IDS_UPDATE_FATAL},
        {"no reply", 0, -1, 1, CLIENT_DLL_NAME, IDYES, {0, -1}, true, IDS_UPDATE_BAD_REPLY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WtsDouble::Reset();
        WTSVirtualChannelClose(channel);
        channel = WTSVirtualChannelOpen(nullptr, 0, (LPSTR)RDP_CHANNEL_NAME);
        Client pc;
        pc.canUpdate = c.canUpdate;
        pc.name = c.file;
        pc.ms = ms + c.dMs;
        pc.ls = ls + c.dLs;
        pc.pieceResults = c.pieces;
        auto state = std::make_shared<Client>(pc);
        svtest::FakeClient client([state](CRdpData& r) { return (*state)(r); });
        User user(c.answer);
        GetClientVersion(channel);
        auto seen = user.Seen();
        size_t expected = (c.asked ? 1 : 0) + (c.result ? 1 : 0);
        ASSERT_EQ(expected, seen.size());
        if (c.asked) {
            EXPECT_EQ(Text(IDS_UPDATE_ASK), seen[0]);
        }
        if (c.result) {
            EXPECT_EQ(Text(c.result), seen.back());
        }
        EXPECT_EQ(c.answer == IDYES && c.asked, client.Count(RDP_CMD_DOWNLOAD) > 0);
    }
    EXPECT_EQ(1, log.Count("not a client module file", "GetClientVersion"));
}

TEST_F(Boxes, ClientExceptionForAPrinterIsShownOnce)
{
    ReadTargetDriver(L"Z:\\nonexistent\\none.ini");
    std::wstring name = L"QvBox" + std::to_wstring(GetCurrentProcessId()) + L" (redirected 3)";
    PrinterDouble::Add(name.c_str(), L"Halvren Office Dravo", PRINTER_ATTRIBUTE_TS);
    CPrinterList list;
    list.AddRedirectPrinter(name.c_str());
    svtest::FakeClient client([](CRdpData&) { return svtest::ReplyBytes(CRdpData(0, RDP_RES_RDP_OVERRUN)); });
    User user;
    ServerProc(list);
    ServerProc(list);
    auto seen = user.Seen();
    ASSERT_EQ(1u, seen.size());
    WCHAR expected[512];
    FormatStr(expected, ARRAYSIZE(expected), Text(IDS_PRINTER_FATAL).c_str(), name.c_str());
    EXPECT_EQ(expected, seen[0]);
    EXPECT_EQ(1u, client.Requests().size());
    EXPECT_EQ(0, list.Entry(0)->nAttempts);
}

// Exit (menu, restart, end of the Windows session) while the question waits
// for an answer nobody gives: it ends as No, and nothing is sent.
TEST_F(Boxes, ExitEndsAnUnansweredQuestion)
{
    Client pc;
    pc.ms = ms;
    pc.ls = ls - 1;
    auto state = std::make_shared<Client>(pc);
    svtest::FakeClient client([state](CRdpData& r) { return (*state)(r); });
    User user(IDNO, true);
    HANDLE worker = (HANDLE)_beginthreadex(nullptr, 0, [](void* ch) -> unsigned {
        GetClientVersion((HANDLE)ch);
        return 0;
    }, channel, 0, nullptr);
    for (int i = 0; i < 200 && !user.Showing(); i++)
        Sleep(25);
    ASSERT_TRUE(user.Showing());
    events.SetExit();
    EndWatchMessageBoxes();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(worker, 5000));
    CloseHandle(worker);
    EXPECT_EQ(0, client.Count(RDP_CMD_DOWNLOAD));
    EXPECT_FALSE(user.Showing());
}

}  // namespace
