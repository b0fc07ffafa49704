// The frame's window procedure, popup menu, About box and message boxes,
// driven through real windows.
#include <gtest/gtest.h>
#include <algorithm>
#include <string>
#include <vector>
#include "frame.h"
#include "harness.h"
#include "module.h"
#include "version.h"

namespace {

const bool kServer = QV_FRAME_KIND == MODULE_SERVER;

struct HookLog {
    int create, close, closeEndSession, timer;
    std::vector<UINT> commands;
} s_hooks;

void HookCreate(HWND) { s_hooks.create++; }
void HookClose(HWND, BOOL endSession) { (endSession ? s_hooks.closeEndSession : s_hooks.close)++; }
BOOL HookCommand(HWND, UINT id) { s_hooks.commands.push_back(id); return TRUE; }
void HookTimer(HWND) { s_hooks.timer++; }

bool QuitPosted()
{
    MSG msg;
    return PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != 0;
}

// Runs a message box on a thread of its own, so the test can look at it.
struct BoxThread {
    UINT style;
    int id;        // the CriticalMessage text's id
    bool critical;
    int result;
    HANDLE thread;

    static DWORD WINAPI Run(LPVOID p)
    {
        BoxThread* b = (BoxThread*)p;
        if (b->critical)
            CriticalMessage(b->id);
        else
            b->result = MessageBoxStr(nullptr, L"text of the box", b->style);
        return 0;
    }
    void Start() { thread = CreateThread(nullptr, 0, Run, this, 0, nullptr); }
    void Join() { WaitForSingleObject(thread, 10000); CloseHandle(thread); }
};

}  // namespace

TEST(FrameWindow, ModuleHooksAndMessages)
{
    s_hooks = {};
    g_FrameHooks = {HookCreate, HookClose, HookCommand, HookTimer};
    HWND hWnd = CreateFrameWindow();
    ASSERT_TRUE(hWnd);
    SendMessageW(hWnd, WM_COMMAND, IDM_EXIT, 0);
    SendMessageW(hWnd, WM_COMMAND, IDM_RESTART, 0);
    SendMessageW(hWnd, WM_CLOSE, 0, 0);
    SendMessageW(hWnd, WM_QUERYENDSESSION, 0, 0);
    SendMessageW(hWnd, WM_TIMER, 1, 0);
    EXPECT_TRUE(IsWindow(hWnd)) << "WM_CLOSE must not destroy the window by itself";
    DestroyWindow(hWnd);
    bool quit = QuitPosted();
    g_FrameHooks = {};

    if (kServer) {
        EXPECT_EQ(1, s_hooks.create);
        EXPECT_EQ((std::vector<UINT>{IDM_EXIT, IDM_RESTART}), s_hooks.commands);
        EXPECT_EQ(1, s_hooks.close);
        EXPECT_EQ(1, s_hooks.closeEndSession);
        EXPECT_EQ(1, s_hooks.timer);
        EXPECT_TRUE(quit) << "the server's message loop ends with its window";
    } else {
        // The client's window lives in the Remote Desktop client's thread.
        EXPECT_EQ(0, s_hooks.create + s_hooks.close + s_hooks.closeEndSession + s_hooks.timer);
        EXPECT_TRUE(s_hooks.commands.empty());
        EXPECT_FALSE(quit) << "the client must not end its host's message loop";
    }
}

TEST(FrameWindow, PopupMenuItems)
{
    FrameWindowThread ui;
    PostMessageW(ui.window(), WM_NOTIFYICON, 0, WM_RBUTTONUP);
    HWND menuWnd = WaitForWindow(Kind::Menu);
    ASSERT_TRUE(menuWnd);
    HMENU menu = (HMENU)SendMessageW(menuWnd, MN_GETHMENU, 0, 0);
    ASSERT_TRUE(menu);
    std::vector<UINT> ids;
    for (int i = 0; i < GetMenuItemCount(menu); i++) {
        MENUITEMINFOW info = {sizeof info, MIIM_FTYPE | MIIM_ID};
        GetMenuItemInfoW(menu, i, TRUE, &info);
        ids.push_back(info.fType & MFT_SEPARATOR ? 0 : info.wID);
    }
    std::vector<UINT> expected = kServer ? std::vector<UINT>{IDM_STATUS, 0, IDM_SETTINGS, 0, IDM_ABOUT, 0, IDM_EXIT}
                                         : std::vector<UINT>{IDM_SETTINGS, 0, IDM_ABOUT};
    EXPECT_EQ(expected, ids);
    PostMessageW(menuWnd, WM_KEYDOWN, VK_ESCAPE, 0);
    EXPECT_TRUE(WaitGone(menuWnd));
}

TEST(FrameWindow, AboutBoxShowsTheFileVersion)
{
    FrameWindowThread ui;
    PostMessageW(ui.window(), WM_COMMAND, IDM_ABOUT, 0);
    HWND about = WaitForWindow(Kind::About);
    ASSERT_TRUE(about);
    WCHAR expected[64];
    FormatStr(expected, 64, L"Version %d.%02d.%d", QV_VER_MAJOR, QV_VER_MINOR,
              (QV_VER_BUILD << 16) | QV_VER_REVISION);
    EXPECT_EQ(std::wstring(expected), ControlText(about, IDC_VERSION));
    Press(about, IDOK);
    EXPECT_TRUE(WaitGone(about));
}

TEST(FrameWindow, ClickWhileAboutIsOpenRaisesItInsteadOfAMenu)
{
    FrameWindowThread ui;
    PostMessageW(ui.window(), WM_COMMAND, IDM_ABOUT, 0);
    HWND about = WaitForWindow(Kind::About);
    ASSERT_TRUE(about);
    HWND other = CreateWindowExW(0, L"Static", L"other", WS_POPUP | WS_VISIBLE, 10, 10, 100, 40,
                                 nullptr, nullptr, nullptr, nullptr);
    SetForegroundWindow(other);
    ASSERT_EQ(other, GetForegroundWindow());

    PostMessageW(ui.window(), WM_NOTIFYICON, 0, WM_RBUTTONUP);
    EXPECT_TRUE(StaysAway(Kind::Menu, 700));
    EXPECT_EQ(about, GetForegroundWindow());

    Press(about, IDOK);
    EXPECT_TRUE(WaitGone(about));
    DestroyWindow(other);
    // With the box closed, the same click opens the menu again.
    PostMessageW(ui.window(), WM_NOTIFYICON, 0, WM_LBUTTONUP);
    HWND menuWnd = WaitForWindow(Kind::Menu);
    ASSERT_TRUE(menuWnd);
    PostMessageW(menuWnd, WM_KEYDOWN, VK_ESCAPE, 0);
    EXPECT_TRUE(WaitGone(menuWnd));
}

TEST(MessageBoxes, QuestionsGetYesAndNo)
{
    static const struct {
        UINT style;
        std::vector<int> buttons;
    } cases[] = {
        {MB_ICONQUESTION, {IDYES, IDNO}},
        {MB_ICONQUESTION | MB_DEFBUTTON2, {IDYES, IDNO}},
        {MB_ICONQUESTION | MB_OKCANCEL, {IDYES, IDNO}},
        {MB_ICONEXCLAMATION, {IDOK}},
        {MB_ICONINFORMATION | MB_OKCANCEL, {IDOK, IDCANCEL}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.style);
        BoxThread b = {c.style, 0, false, 0, nullptr};
        b.Start();
        HWND box = WaitForWindow(Kind::MessageBox);
        ASSERT_TRUE(box);
        EXPECT_EQ(LoadRes(IDS_APP_TITLE), WindowText(box));
        EXPECT_EQ(L"text of the box", MessageBoxText(box));
        std::vector<int> ids = ButtonIds(box);
        std::sort(ids.begin(), ids.end());
        std::vector<int> expected = c.buttons;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(expected, ids);
        Press(box, c.buttons.back());
        b.Join();
        EXPECT_EQ(c.buttons.back(), b.result);
    }
}

TEST(MessageBoxes, CriticalMessageAlwaysShowsABox)
{
    const std::wstring fallbackCaption = kServer ? L"Quorvane_SV" : L"Quorvane_CL";
    HINSTANCE module = g_hInst;
    static const struct {
        bool withModule;
        UINT id;
    } cases[] = {{true, IDS_SETTING_OPENED}, {true, 4242}, {false, IDS_SETTING_OPENED}};
    EXPECT_FALSE(IsUnrecoverable());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        g_hInst = c.withModule ? module : nullptr;
        BoxThread b = {0, (int)c.id, true, 0, nullptr};
        b.Start();
        HWND box = WaitForWindow(Kind::MessageBox);
        g_hInst = module;
        ASSERT_TRUE(box);
        bool known = c.withModule && c.id == IDS_SETTING_OPENED;
        EXPECT_EQ(known ? LoadRes(c.id) : L"Unrecoverable Exception", MessageBoxText(box));
        EXPECT_EQ(c.withModule ? LoadRes(IDS_APP_TITLE) : fallbackCaption, WindowText(box));
        Dismiss(box);
        b.Join();
        EXPECT_TRUE(IsUnrecoverable());
    }
}

TEST(FileVersion, ReadsOwnVersionAndLeavesOutputsOnFailure)
{
    WCHAR self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    DWORD ms = 0, ls = 0;
    ASSERT_EQ(0u, GetFileVersionMSLS(self, &ms, &ls));
    EXPECT_EQ((DWORD)MAKELONG(QV_VER_MINOR, QV_VER_MAJOR), ms);
    EXPECT_EQ((DWORD)MAKELONG(QV_VER_REVISION, QV_VER_BUILD), ls);

    WCHAR temp[MAX_PATH], plain[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    GetTempFileNameW(temp, L"qvv", 0, plain);   // an empty file: no version resource
    WCHAR missing[MAX_PATH];
    FormatStr(missing, MAX_PATH, L"%s.missing", plain);
    for (LPCWSTR path : {(LPCWSTR)plain, (LPCWSTR)missing}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(path)));
        ms = ls = 0xdeadbeef;
        EXPECT_NE(0u, GetFileVersionMSLS(path, &ms, &ls));
        EXPECT_EQ(0xdeadbeef, ms);
        EXPECT_EQ(0xdeadbeef, ls);
    }
    DeleteFileW(plain);
}
