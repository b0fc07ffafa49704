// What the status window tells of each printer: the outcome of a try turned
// into one state and one reason, and the window itself on the test display
// while scripted passes run on a thread of their own, as the watch thread's.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <process.h>
#include <functional>
#include <string>
#include "drivers.h"
#include "fakeclient.h"
#include "module.h"
#include "printer_double.h"
#include "rdpcmd.h"
#include "resource.h"
#include "server.h"
#include "status.h"
#include "testutil.h"
#include "watch.h"
#include "wts_double.h"

using svtest::Bytes;

namespace {

std::wstring Text(UINT id)
{
    WCHAR text[512] = L"";
    LoadStringW(GetModuleHandleW(nullptr), id, text, ARRAYSIZE(text));
    return text;
}

TEST(StatusModel, EachOutcomeIsOneStateAndOneReason)
{
    enum How { TRY, NOT_ASKED, GIVEN_BACK };
    static const struct {
        const char* name;
        How how;
        PRINTERREASON reason;
        int attemptsBefore;
        BOOL target;
        PRINTERSTATE state;
        int attemptsAfter;
        UINT stateText, reasonText;
    } cases[] = {
        {"applied", TRY, REASON_NONE, 5, TRUE, PRINTER_APPLIED, 0, IDS_STATE_APPLIED, 0},
        {"no reply, attempts left", TRY, REASON_NO_REPLY, 5, TRUE, PRINTER_RETRY, 4, IDS_STATE_APPLYING,
         IDS_REASON_FIRST + REASON_NO_REPLY},
        {"malformed, attempts left", TRY, REASON_MALFORMED, 3, TRUE, PRINTER_RETRY, 2, IDS_STATE_APPLYING,
         IDS_REASON_FIRST + REASON_MALFORMED},
        {"nothing stored on the PC, attempts left", TRY, REASON_NO_DEVMODE, 2, TRUE, PRINTER_RETRY, 1,
         IDS_STATE_APPLYING, IDS_REASON_FIRST + REASON_NO_DEVMODE},
        {"no memory, attempts left", TRY, REASON_NO_MEMORY, 5, TRUE, PRINTER_RETRY, 4, IDS_STATE_APPLYING,
         IDS_REASON_FIRST + REASON_NO_MEMORY},
        {"apply failed, last attempt", TRY, REASON_APPLY_FAILED, 1, TRUE, PRINTER_GAVE_UP, 0, IDS_STATE_NOT_APPLIED,
         IDS_REASON_ATTEMPTS},
        {"nothing stored, last attempt", TRY, REASON_NO_DEVMODE, 1, TRUE, PRINTER_GAVE_UP, 0, IDS_STATE_NOT_APPLIED,
         IDS_REASON_ATTEMPTS},
        {"older driver ends at once", TRY, REASON_OLDER_DRIVER, 5, TRUE, PRINTER_GAVE_UP, 0, IDS_STATE_NOT_APPLIED,
         IDS_REASON_FIRST + REASON_OLDER_DRIVER},
        {"service refused ends at once", TRY, REASON_ACCESS_DENIED, 4, TRUE, PRINTER_GAVE_UP, 0,
         IDS_STATE_NOT_APPLIED, IDS_REASON_FIRST + REASON_ACCESS_DENIED},
        {"channel broke ends at once", TRY, REASON_CHANNEL, 5, TRUE, PRINTER_GAVE_UP, 0, IDS_STATE_NOT_APPLIED,
         IDS_REASON_FIRST + REASON_CHANNEL},
        {"no local name: not asked", NOT_ASKED, REASON_NO_LOCAL_NAME, 5, TRUE, PRINTER_WAITING, 5,
         IDS_STATE_NOT_APPLIED, IDS_REASON_FIRST + REASON_NO_LOCAL_NAME},
        {"driver left the table: not asked", NOT_ASKED, REASON_NO_PDL, 5, TRUE, PRINTER_WAITING, 5,
         IDS_STATE_NOT_APPLIED, IDS_REASON_FIRST + REASON_NO_PDL},
        {"not a target driver", NOT_ASKED, REASON_NONE, 5, FALSE, PRINTER_WAITING, 5, IDS_STATE_NOT_APPLIED,
         IDS_REASON_NOT_TARGET},
        {"not tried yet", NOT_ASKED, REASON_NONE, 5, TRUE, PRINTER_WAITING, 5, IDS_STATE_WAITING, 0},
        {"given back after the older driver", GIVEN_BACK, REASON_OLDER_DRIVER, 5, TRUE, PRINTER_WAITING, 5,
         IDS_STATE_WAITING, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PRINTERENTRY e = {const_cast<LPWSTR>(L"P (redirected 1)"), c.attemptsBefore, PRINTER_WAITING, REASON_NONE,
                          0, 0, {}};
        if (c.how == NOT_ASKED) {
            e.reason = c.reason;
        } else {
            SetOutcome(&e, c.reason, 0, 1000);
            if (c.how == GIVEN_BACK) {
                GiveAttemptsBack(&e);
                EXPECT_TRUE(IsDue(&e, 1000));
            }
            EXPECT_NE(0u, e.ftChanged.dwLowDateTime | e.ftChanged.dwHighDateTime);
        }
        EXPECT_EQ(c.state, e.state);
        EXPECT_EQ(c.attemptsAfter, e.nAttempts);
        STATUSROW row = {};
        row.bTarget = c.target;
        row.state = e.state;
        row.reason = e.reason;
        STATUSTEXT t = StatusTextIds(row);
        EXPECT_EQ(c.stateText, t.state);
        EXPECT_EQ(c.reasonText, t.reason);
        EXPECT_FALSE(Text(t.state).empty());
        EXPECT_EQ(t.reason == 0, Text(t.reason).empty());
        EXPECT_EQ(t.reason == 0, Text(t.reason ? t.reason + IDS_REASON_SHORT : 0).empty()) << "its short form";
    }
}

// The client module: greets, gives its version, and answers every
// properties request with a device mode of driver version 0x300, after
// `delayMs` (a slow PC).
struct PC {
    DWORD delayMs = 0;
    Bytes operator()(CRdpData& r) const
    {
        if (r.Cmd() == RDP_CMD_INITIALIZE) {
            CRdpData reply(RDP_CMD_INITIALIZE, RDP_RES_OK);
            reply.AddString(L"pcuser");
            return svtest::ReplyBytes(reply);
        }
        if (r.Cmd() == RDP_CMD_GETFILEVER) {
            CRdpData reply(RDP_CMD_GETFILEVER, RDP_RES_OK);
            reply.AddDWORD(1);
            reply.AddString(CLIENT_DLL_NAME);
            reply.AddDWORD(0x00010002);
            reply.AddDWORD(7);
            return svtest::ReplyBytes(reply);
        }
        Sleep(delayMs);
        return svtest::PropertiesReply(svtest::DevMode(L"Local", 0x300), Bytes(), Bytes());
    }
};

class StatusWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        WtsDouble::Reset();
        PrinterDouble::Reset();
        g_hInst = GetModuleHandleW(nullptr);
        g_hMainWnd = nullptr;
        ReadTargetDriver(folder.File(L"nodrivers.ini").c_str());
        Add(kApplied, L"Halvren Office Dravo", 0x300);
        Add(kOlder, L"Halvren Office Dravo", 0x200);
        Add(kOther, L"Unknown Driver", 0x300);
        Add(kRefused, L"Halvren Office Dravo", 0x300);
        PrinterDouble::FailSetLevel9(kRefused, ERROR_INVALID_PARAMETER);
        ASSERT_TRUE(CreateStatusDialog(g_hInst));
        ShowStatusWindow();
        list = GetDlgItem(g_hStatusWnd, IDC_STATUS_LIST);
    }
    void TearDown() override
    {
        DestroyStatusWindow();
        EXPECT_EQ(nullptr, g_hStatusWnd);
    }
    static void Add(LPCWSTR name, LPCWSTR driver, WORD version)
    {
        PrinterDouble::Add(name, driver, PRINTER_ATTRIBUTE_TS, PrinterDouble::MakeDevMode(name, version));
    }
    static void Pump()
    {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    // `n` passes on a thread of their own, every waiting retry due at once;
    // this thread keeps the window going (and does `meanwhile`) until they end.
    DWORD Passes(int n, std::function<void()> meanwhile = nullptr)
    {
        passes = n;
        DWORD start = GetTickCount();
        HANDLE t = (HANDLE)_beginthreadex(nullptr, 0, [](void* p) -> unsigned {
            auto* self = (StatusWindow*)p;
            for (int i = 0; i < self->passes; i++) {
                svtest::RetryNow(self->printers);
                WatchPass(&self->client, self->printers);
            }
            return 0;
        }, this, 0, nullptr);
        EXPECT_TRUE(t);
        for (;;) {
            DWORD r = MsgWaitForMultipleObjects(1, &t, FALSE, meanwhile ? 10 : 20000, QS_ALLINPUT);
            if (r == WAIT_OBJECT_0 || (r == WAIT_TIMEOUT && !meanwhile) || r == WAIT_FAILED)
                break;
            Pump();
            if (meanwhile)
                meanwhile();
        }
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 0));
        CloseHandle(t);
        Pump();
        return GetTickCount() - start;
    }
    std::wstring Cell(LPCWSTR printer, int column)
    {
        LVFINDINFOW find = {LVFI_STRING, printer};
        int i = ListView_FindItem(list, -1, &find);
        if (i < 0)
            return L"(no row)";
        WCHAR text[1024] = L"";
        ListView_GetItemText(list, i, column, text, ARRAYSIZE(text));
        return text;
    }
    void ExpectRow(LPCWSTR printer, UINT state, const std::wstring& reason)
    {
        SCOPED_TRACE(testing::Message() << printer);
        EXPECT_EQ(Text(state), Cell(printer, COL_STATE)) << "state of a row";
        EXPECT_EQ(reason, Cell(printer, COL_REASON)) << "reason of a row";
    }
    std::wstring Format(UINT id, ...)
    {
        WCHAR out[512];
        va_list args;
        va_start(args, id);
        FormatStrV(out, ARRAYSIZE(out), Text(id).c_str(), args);
        va_end(args);
        return out;
    }

    static constexpr UINT kShort = IDS_REASON_SHORT;   // the list shows the reasons short
    static constexpr LPCWSTR kApplied = L"Applied (redirected 1)";
    static constexpr LPCWSTR kOlder = L"Older (redirected 1)";
    static constexpr LPCWSTR kOther = L"Other (redirected 1)";
    static constexpr LPCWSTR kRefused = L"Refused (redirected 1)";
    svtest::TestLog log;
    svtest::TestEvents events;
    svtest::TempFolder folder{L"status"};
    CLIENTRECORD client = {};
    CPrinterList printers;
    HWND list = nullptr;
    int passes = 0;
};

TEST_F(StatusWindow, ShowsEachStateAndAppliesAgainWhileBeingResized)
{
    PC pc;
    svtest::FakeClient addin([&pc](CRdpData& r) { return pc(r); });
    Passes(PRINTER_ATTEMPTS);
    ASSERT_EQ(4, ListView_GetItemCount(list));
    WCHAR header[512];
    GetDlgItemTextW(g_hStatusWnd, IDC_STATUS_PC, header, ARRAYSIZE(header));
    EXPECT_EQ(Format(IDS_STATUS_PC, client.szClientName, 1, 2, 7), header);
    ExpectRow(kApplied, IDS_STATE_APPLIED, L"");
    ExpectRow(kOlder, IDS_STATE_NOT_APPLIED, Text(kShort + IDS_REASON_FIRST + REASON_OLDER_DRIVER));
    ExpectRow(kOther, IDS_STATE_NOT_APPLIED, Text(kShort + IDS_REASON_NOT_TARGET));
    std::wstring refused = Format(kShort + IDS_REASON_FIRST + REASON_APPLY_FAILED, ERROR_INVALID_PARAMETER);
    ExpectRow(kRefused, IDS_STATE_NOT_APPLIED, Format(kShort + IDS_REASON_ATTEMPTS, PRINTER_ATTEMPTS, refused.c_str()));
    EXPECT_EQ(L"Unknown Driver", Cell(kOther, COL_DRIVER));
    EXPECT_EQ(Text(IDS_TARGET_NO), Cell(kOther, COL_TARGET));
    EXPECT_EQ(L"0", Cell(kRefused, COL_ATTEMPTS));
    EXPECT_NE(L"", Cell(kRefused, COL_CHANGED));

    // The cause is fixed; the user applies the refused printer again. The
    // loop is woken, and the next pass tries that printer alone.
    PrinterDouble::FailSetLevel9(kRefused, 0);
    ResetEvent(g_hEvent[EVENT_TIMER]);
    LVFINDINFOW find = {LVFI_STRING, kRefused};
    ListView_SetItemState(list, ListView_FindItem(list, -1, &find), LVIS_SELECTED, LVIS_SELECTED);
    WCHAR detail[1024];
    GetDlgItemTextW(g_hStatusWnd, IDC_STATUS_DETAIL, detail, ARRAYSIZE(detail));
    refused = Format(IDS_REASON_FIRST + REASON_APPLY_FAILED, ERROR_INVALID_PARAMETER);
    EXPECT_NE(nullptr, wcsstr(detail, Format(IDS_REASON_ATTEMPTS, PRINTER_ATTEMPTS, refused.c_str()).c_str()))
        << "the selected printer's reason, whole";
    SendMessageW(g_hStatusWnd, WM_COMMAND, MAKEWPARAM(IDC_APPLY_AGAIN, BN_CLICKED), 0);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_hEvent[EVENT_TIMER], 0));
    int tries = addin.Count(RDP_CMD_GETPROPERTIES);
    Passes(1);
    EXPECT_EQ(tries + 1, addin.Count(RDP_CMD_GETPROPERTIES));
    ExpectRow(kRefused, IDS_STATE_APPLIED, L"");
    ExpectRow(kOlder, IDS_STATE_NOT_APPLIED, Text(kShort + IDS_REASON_FIRST + REASON_OLDER_DRIVER));
    EXPECT_EQ(1, log.Count(",Refused (redirected 1),attempts back", "TakeApplyAgain"));

    // A slow PC: the pass of all printers again runs while the window is
    // resized over and over; neither waits for the other.
    pc.delayMs = 300;
    SendMessageW(g_hStatusWnd, WM_COMMAND, MAKEWPARAM(IDC_APPLY_ALL, BN_CLICKED), 0);
    int resizes = 0;
    DWORD slowest = 0;
    DWORD took = Passes(1, [&] {
        DWORD start = GetTickCount();
        SetWindowPos(g_hStatusWnd, nullptr, 0, 0, 500 + 40 * (resizes % 8), 250 + 20 * (resizes % 5),
                     SWP_NOMOVE | SWP_NOZORDER);
        Pump();
        resizes++;
        if (GetTickCount() - start > slowest)
            slowest = GetTickCount() - start;
    });
    // The pass takes 900 ms (three printers, 300 ms each). A window waiting
    // for it would stall that long; a resize that also refills the list from
    // a snapshot takes up to a quarter second under Wine on a busy machine.
    EXPECT_GE(resizes, 10) << "the window went on while the pass ran";
    EXPECT_LT(slowest, 600u);
    EXPECT_LT(took, 3000u);
    ExpectRow(kApplied, IDS_STATE_APPLIED, L"");
    ExpectRow(kRefused, IDS_STATE_APPLIED, L"");
    ExpectRow(kOlder, IDS_STATE_NOT_APPLIED, Text(kShort + IDS_REASON_FIRST + REASON_OLDER_DRIVER));
    RECT rc;
    GetClientRect(g_hStatusWnd, &rc);
    RECT lr;
    GetWindowRect(list, &lr);
    EXPECT_GT(lr.right - lr.left, rc.right / 2) << "the list follows the window's size";
}

}  // namespace
