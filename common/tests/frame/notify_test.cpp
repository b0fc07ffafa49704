// The notify icon's state machine, seen through what the shell is told.
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "frame.h"
#include "harness.h"
#include "module.h"
#include "shell_double.h"

namespace {

HICON Picture(int id) { return LoadIconW(g_hInst, MAKEINTRESOURCEW(id)); }

ShellCall LastCall()
{
    std::vector<ShellCall> calls = ShellCalls();
    return calls.empty() ? ShellCall{} : calls.back();
}

struct IconCase {
    const char* name;
    std::vector<int> events;
    int icon;
    NotifyState state;
    DWORD lastMessage;
};

}  // namespace

TEST(NotifyIcon, EventSequencesChooseThePicture)
{
    static const IconCase cases[] = {
        {"grey from creation", {}, IDI_TASKGRAY, {NS_STARTED, 0, 0}, NIM_ADD},
        {"work and transfer before active stay grey", {3, 5}, IDI_TASKGRAY, {NS_STARTED, 1, 1}, NIM_ADD},
        {"active and idle is ready", {1}, IDI_TASKREADY, {NS_STARTED | NS_ACTIVE, 0, 0}, NIM_MODIFY},
        {"early work shows once active", {3, 1}, IDI_TASKCONNECT, {NS_STARTED | NS_ACTIVE, 1, 0}, NIM_MODIFY},
        {"work ends, ready again", {1, 3, 4}, IDI_TASKREADY, {NS_STARTED | NS_ACTIVE, 0, 0}, NIM_MODIFY},
        {"unmatched work end stays at 0", {1, 4, 4, 3}, IDI_TASKCONNECT, {NS_STARTED | NS_ACTIVE, 1, 0}, NIM_MODIFY},
        {"unmatched transfer end stays at 0", {1, 6, 6, 5}, IDI_TASKCONNECT, {NS_STARTED | NS_ACTIVE, 0, 1}, NIM_MODIFY},
        {"two transfers, one ends", {1, 5, 5, 6}, IDI_TASKCONNECT, {NS_STARTED | NS_ACTIVE, 0, 1}, NIM_MODIFY},
        {"two transfers, both end", {1, 5, 5, 6, 6}, IDI_TASKREADY, {NS_STARTED | NS_ACTIVE, 0, 0}, NIM_MODIFY},
        {"stopping greys at once during work", {1, 3, 5, 2}, IDI_TASKGRAY,
         {NS_STARTED | NS_ACTIVE | NS_STOPPING, 1, 1}, NIM_MODIFY},
        {"reset after stopping", {1, 3, 2, -1}, IDI_TASKGRAY, {NS_STARTED, 0, 0}, NIM_ADD},
        {"reset then active is ready", {1, 3, 2, -1, 1}, IDI_TASKREADY, {NS_STARTED | NS_ACTIVE, 0, 0}, NIM_MODIFY},
        {"unknown event changes nothing", {1, 9}, IDI_TASKREADY, {NS_STARTED | NS_ACTIVE, 0, 0}, NIM_MODIFY},
    };
    for (const IconCase& c : cases) {
        SCOPED_TRACE(c.name);
        ClearShellCalls();
        HWND hWnd = CreateFrameWindow();
        ASSERT_TRUE(hWnd);
        for (int e : c.events)
            NotifyIcon(e);
        EXPECT_EQ(c.icon, GetNotifyIconId());
        NotifyState s = GetNotifyState();
        EXPECT_EQ(c.state.flags, s.flags);
        EXPECT_EQ(c.state.work, s.work);
        EXPECT_EQ(c.state.transfer, s.transfer);
        ShellCall last = LastCall();
        EXPECT_EQ(c.lastMessage, last.message);
        EXPECT_EQ(hWnd, last.hWnd);
        EXPECT_EQ(Picture(c.icon), last.icon);
        EXPECT_EQ((UINT)(NIF_MESSAGE | NIF_ICON | NIF_TIP), last.flags);

        DestroyWindow(hWnd);
        EXPECT_EQ((DWORD)NIM_DELETE, LastCall().message);
        EXPECT_EQ(0u, GetNotifyState().flags);
        EXPECT_EQ(0, GetNotifyIconId());
    }
}

TEST(NotifyIcon, TipChangesOnlyTheTip)
{
    const std::wstring name = LoadRes(IDS_APP_TITLE);
    const std::wstring longLine(200, L'x');
    static const struct {
        LPCWSTR first, second;
    } lines[] = {{L"server-1", L"taro"}, {L"server-1", nullptr}, {nullptr, L"taro"}, {nullptr, nullptr}};
    const std::wstring expected[] = {name + L"\nserver-1\ntaro", name + L"\nserver-1", name, name};

    HWND hWnd = CreateFrameWindow();
    ASSERT_TRUE(hWnd);
    EXPECT_EQ(name, LastCall().tip) << "the icon is added with the product name as its tip";
    NotifyIcon(NI_ACTIVE);
    NotifyIcon(NI_WORK_BEGIN);
    for (size_t i = 0; i < ARRAYSIZE(lines); i++) {
        SCOPED_TRACE(i);
        ClearShellCalls();
        SetNotifyTip(lines[i].first, lines[i].second);
        std::vector<ShellCall> calls = ShellCalls();
        ASSERT_EQ(1u, calls.size());
        EXPECT_EQ((DWORD)NIM_MODIFY, calls[0].message);
        EXPECT_EQ((UINT)NIF_TIP, calls[0].flags) << "a tip change must not touch the picture";
        EXPECT_EQ(expected[i], calls[0].tip);
        EXPECT_EQ(IDI_TASKCONNECT, GetNotifyIconId());
        EXPECT_EQ(1, GetNotifyState().work);
    }

    SetNotifyTip(longLine.c_str(), nullptr);
    std::wstring full = name + L"\n" + longLine;
    EXPECT_EQ(full.substr(0, 127), LastCall().tip);
    // The next picture change carries the same cut tip.
    NotifyIcon(NI_WORK_END);
    EXPECT_EQ(full.substr(0, 127), LastCall().tip);
    DestroyWindow(hWnd);
}

TEST(NotifyIcon, NothingReachesTheShellWithoutWindow)
{
    ClearShellCalls();
    NotifyIcon(NI_ACTIVE);
    SetNotifyTip(L"server", L"user");
    EXPECT_TRUE(ShellCalls().empty());
    EXPECT_EQ(0, GetNotifyIconId());
}

namespace {
struct Hammer {
    volatile LONG stop;
    LONG sent;
};

DWORD WINAPI SendEvents(LPVOID param)
{
    Hammer* h = (Hammer*)param;
    static const int events[] = {NI_WORK_BEGIN, NI_XFER_BEGIN, NI_ACTIVE, NI_XFER_END, NI_WORK_END, NI_TIP};
    for (int i = 0; !InterlockedCompareExchange(&h->stop, 0, 0); i++) {
        if (events[i % 6] == NI_TIP)
            SetNotifyTip(L"server", L"user");
        else
            NotifyIcon(events[i % 6]);
        InterlockedIncrement(&h->sent);
    }
    return 0;
}
}  // namespace

// Another thread keeps sending events while the window is destroyed: after
// the icon has been deleted, the shell must not hear of that window again.
TEST(NotifyIcon, EventsFromAnotherThreadDuringDestroy)
{
    for (int round = 0; round < 5; round++) {
        SCOPED_TRACE(round);
        ClearShellCalls();
        HWND hWnd = CreateFrameWindow();
        ASSERT_TRUE(hWnd);
        Hammer h = {0, 0};
        HANDLE threads[2] = {CreateThread(nullptr, 0, SendEvents, &h, 0, nullptr),
                             CreateThread(nullptr, 0, SendEvents, &h, 0, nullptr)};
        while (InterlockedCompareExchange(&h.sent, 0, 0) < 50)
            Sleep(1);
        DestroyWindow(hWnd);
        LONG sentAtDestroy = InterlockedCompareExchange(&h.sent, 0, 0);
        while (InterlockedCompareExchange(&h.sent, 0, 0) < sentAtDestroy + 100)
            Sleep(1);
        InterlockedExchange(&h.stop, 1);
        WaitForMultipleObjects(2, threads, TRUE, 10000);
        CloseHandle(threads[0]);
        CloseHandle(threads[1]);

        std::vector<ShellCall> calls = ShellCalls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ((DWORD)NIM_DELETE, calls.back().message) << "a call reached the shell after the delete";
        int deletes = 0;
        for (const ShellCall& c : calls)
            deletes += c.message == NIM_DELETE;
        EXPECT_EQ(1, deletes);
        EXPECT_EQ(0u, GetNotifyState().flags);
        EXPECT_EQ(0, GetNotifyIconId());
    }
}
