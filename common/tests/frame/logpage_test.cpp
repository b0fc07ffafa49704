// The log settings page inside the real property sheet.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>
#include <memory>
#include <string>
#include "frame.h"
#include "harness.h"
#include "log.h"
#include "module.h"
#include "settings.h"
#include "test_log.h"

namespace {

std::wstring Filled(UINT id, int low, int high)
{
    WCHAR text[512];
    FormatStr(text, ARRAYSIZE(text), LoadRes(id).c_str(), low, high);
    return text;
}

int StoredInt(LPCWSTR key)
{
    return (int)GetPrivateProfileIntW(g_szSection, key, -1, g_szUserIni);
}

// Clicks a button that opens nothing, and returns once it has been handled.
void Click(HWND dlg, int id)
{
    SendMessageW(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dlg, id));
}

// The field's text once it equals the expected one, or after a while.
std::wstring WaitForText(HWND dlg, int id, LPCWSTR expected)
{
    for (int i = 0; i < 150 && lstrcmpiW(ControlText(dlg, id).c_str(), expected); i++)
        Sleep(20);
    return ControlText(dlg, id);
}

LRESULT Combo(HWND page, UINT msg, WPARAM wParam = 0)
{
    return SendDlgItemMessageW(page, IDC_LOGLEVEL, msg, wParam, 0);
}

DWORD WINAPI OpenSheetThread(LPVOID)
{
    OpenSettingDialog(g_hInst, nullptr, g_szUserName);
    return 0;
}

class LogPage : public testing::Test {
protected:
    void SetUp() override { StartSandboxLog(L"qvlp", 0); }
    void TearDown() override
    {
        ui_.reset();
        EndSandboxLog();
    }
    // Opens the settings sheet from the frame's menu command.
    void Open()
    {
        ui_.reset(new FrameWindowThread);
        PostMessageW(ui_->window(), WM_COMMAND, IDM_SETTINGS, 0);
        sheet_ = WaitForWindow(Kind::Sheet);
        ASSERT_TRUE(sheet_);
        page_ = FindWindowExW(sheet_, nullptr, L"#32770", nullptr);
        ASSERT_TRUE(page_);
    }
    void PressOk() { Press(sheet_, IDOK); }
    void Cancel()
    {
        Press(sheet_, IDCANCEL);
        EXPECT_TRUE(WaitGone(sheet_));
    }
    std::unique_ptr<FrameWindowThread> ui_;
    HWND sheet_ = nullptr;
    HWND page_ = nullptr;
};

}  // namespace

TEST_F(LogPage, InvalidEntriesKeepTheSheetOpenOnTheFaultyField)
{
    static const struct {
        int control;
        LPCWSTR text;
        UINT message;
        int high;   // 0: message without numbers
    } cases[] = {
        {IDC_LOGSIZE, L"0", IDS_LOGSIZE_RANGE, LOGSIZE_MAX},
        {IDC_LOGSIZE, L"10241", IDS_LOGSIZE_RANGE, LOGSIZE_MAX},
        {IDC_LOGSIZE, L"70000", IDS_LOGSIZE_RANGE, LOGSIZE_MAX},   // 70000 & 0xFFFF would be 4464
        {IDC_LOGSIZE, L"", IDS_LOGSIZE_RANGE, LOGSIZE_MAX},
        {IDC_LOGROTATE, L"256", IDS_LOGROTATE_RANGE, LOGROTATE_MAX},
        {IDC_LOGROTATE, L"0", IDS_LOGROTATE_RANGE, LOGROTATE_MAX},
        {IDC_LOGFOLDER, L"C:\\qv-no-such-folder\\log", IDS_LOGFOLDER_BAD, 0},
    };
    Open();
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.text)));
        std::wstring before = ControlText(page_, c.control);
        SetDlgItemTextW(page_, c.control, c.text);
        PressOk();
        HWND box = WaitForWindow(Kind::MessageBox);
        ASSERT_TRUE(box);
        EXPECT_EQ(c.high ? Filled(c.message, 1, c.high) : LoadRes(c.message), MessageBoxText(box));
        Dismiss(box);
        EXPECT_TRUE(IsWindowVisible(sheet_)) << "the sheet closed on an invalid entry";
        HWND control = GetDlgItem(page_, c.control);
        for (int i = 0; i < 250 && FocusOf(ui_->threadId()) != control; i++)
            Sleep(20);   // the page sets the focus once the box has returned
        EXPECT_EQ(control, FocusOf(ui_->threadId()));
        DWORD start = 0, end = 0;
        SendMessageW(control, EM_GETSEL, (WPARAM)&start, (LPARAM)&end);
        EXPECT_EQ(0u, start);
        EXPECT_EQ((DWORD)lstrlenW(c.text), end);
        SetDlgItemTextW(page_, c.control, before.c_str());
    }
    Cancel();
    EXPECT_EQ(LOGSIZE_DEFAULT, StoredInt(L"LogSize")) << "nothing may be written";
    EXPECT_EQ(LOGROTATE_DEFAULT, StoredInt(L"LogRotate"));
}

TEST_F(LogPage, NoDetailLevelChosenKeepsTheSheetOpenWithoutAMessage)
{
    Open();
    Combo(page_, CB_SETCURSEL, (WPARAM)-1);
    PressOk();
    EXPECT_TRUE(StaysAway(Kind::MessageBox, 700));
    EXPECT_TRUE(IsWindowVisible(sheet_));
    EXPECT_EQ(GetDlgItem(page_, IDC_LOGLEVEL), FocusOf(ui_->threadId()));
    Cancel();
    EXPECT_EQ(0, StoredInt(L"LogLevel"));
}

TEST_F(LogPage, StoredDetailLevelDecidesTheItemCount)
{
    static const struct {
        int stored, items;
    } cases[] = {{0, 4}, {3, 4}, {4, 6}, {5, 6}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        WriteSandboxKey(L"LogLevel", c.stored);
        Open();
        EXPECT_EQ(c.items, Combo(page_, CB_GETCOUNT));
        EXPECT_EQ(c.stored, Combo(page_, CB_GETCURSEL));
        Cancel();
    }
}

TEST_F(LogPage, ShiftAndCtrlShowTheHiddenLevels)
{
    Open();
    HWND combo = GetDlgItem(page_, IDC_LOGLEVEL);
    auto dropDown = [&] {
        SendMessageW(page_, WM_COMMAND, MAKEWPARAM(IDC_LOGLEVEL, CBN_DROPDOWN), (LPARAM)combo);
        return Combo(page_, CB_GETCOUNT);
    };
    auto bothHeld = [](bool wanted) {
        for (int i = 0; i < 100; i++) {
            bool held = (GetAsyncKeyState(VK_SHIFT) & 0x8000) && (GetAsyncKeyState(VK_CONTROL) & 0x8000);
            if (held == wanted)
                return true;
            Sleep(20);
        }
        return false;
    };
    keybd_event(VK_SHIFT, 0, 0, 0);
    keybd_event(VK_CONTROL, 0, 0, 0);
    bool held = bothHeld(true);
    LRESULT withKeys = dropDown();
    keybd_event(VK_CONTROL, 0, KEYEVENTF_KEYUP, 0);
    keybd_event(VK_SHIFT, 0, KEYEVENTF_KEYUP, 0);
    EXPECT_TRUE(bothHeld(false));
    LRESULT withoutKeys = dropDown();
    Cancel();
    if (!held)
        GTEST_SKIP() << "injected key presses do not reach the key state on this display";
    EXPECT_EQ(6, withKeys);
    EXPECT_EQ(4, withoutKeys);
}

TEST_F(LogPage, OkTellsAboutALaterEffectOnlyWhenSomethingDiffers)
{
    Open();
    PressOk();
    EXPECT_TRUE(WaitGone(sheet_)) << "unchanged settings must close without a message";
    EXPECT_TRUE(StaysAway(Kind::MessageBox, 300));

    Open();
    Combo(page_, CB_SETCURSEL, 1);
    PressOk();
    HWND box = WaitForWindow(Kind::MessageBox);
    ASSERT_TRUE(box);
    EXPECT_EQ(LoadRes(IDS_LOGSETTING_LATER), MessageBoxText(box));
    Dismiss(box);
    EXPECT_TRUE(WaitGone(sheet_));
    EXPECT_EQ(1, StoredInt(L"LogLevel"));
    EXPECT_EQ(0, GetLogSettingsInForce()->LogLevel) << "the settings in force must not change";
}

TEST_F(LogPage, CurrentAndDefaultButtonsFillWithoutWriting)
{
    WriteSandboxKey(L"LogSize", 2048);   // stored, waiting for the next start
    Open();
    EXPECT_EQ(L"2048", ControlText(page_, IDC_LOGSIZE));
    Click(page_, IDC_CURRENT);
    EXPECT_EQ(L"1024", ControlText(page_, IDC_LOGSIZE));
    EXPECT_EQ(std::wstring(SandboxFolder()), ControlText(page_, IDC_LOGFOLDER));

    SetDlgItemTextW(page_, IDC_LOGROTATE, L"9");
    Combo(page_, CB_SETCURSEL, 2);
    Click(page_, IDC_DEFAULT);
    WCHAR local[MAX_PATH], folder[MAX_PATH];
    SHGetSpecialFolderPathW(nullptr, local, CSIDL_LOCAL_APPDATA, TRUE);
    FormatStr(folder, MAX_PATH, L"%s%s", local, LOG_SUBFOLDER);
    EXPECT_EQ(std::wstring(folder), ControlText(page_, IDC_LOGFOLDER));
    EXPECT_EQ(L"1024", ControlText(page_, IDC_LOGSIZE));
    EXPECT_EQ(L"5", ControlText(page_, IDC_LOGROTATE));
    EXPECT_EQ(0, Combo(page_, CB_GETCURSEL));
    Cancel();
    EXPECT_EQ(2048, StoredInt(L"LogSize"));
}

TEST_F(LogPage, SecondSheetForTheSameUserIsRefused)
{
    // Another process of the same user holds the sheet open.
    WCHAR host[MAX_PATH], cmd[MAX_PATH + 64];
    GetModuleFileNameW(nullptr, host, MAX_PATH);
    lstrcpyW(wcsrchr(host, L'\\') + 1, L"frame_host.exe");
    FormatStr(cmd, ARRAYSIZE(cmd), L"\"%s\" settings qvxp 60", host);
    STARTUPINFOW si = {sizeof si};
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessW(nullptr, cmd, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    HWND other = WaitForWindow(Kind::Sheet, pi.dwProcessId, 15000);
    EXPECT_TRUE(other);
    FormatStr(g_szUserName, ARRAYSIZE(g_szUserName), L"qvxp%lu", pi.dwProcessId);

    ui_.reset(new FrameWindowThread);
    PostMessageW(ui_->window(), WM_COMMAND, IDM_SETTINGS, 0);
    HWND box = WaitForWindow(Kind::MessageBox);
    ASSERT_TRUE(box);
    EXPECT_EQ(LoadRes(IDS_SETTING_OPENED), MessageBoxText(box));
    EXPECT_FALSE(WaitForWindow(Kind::Sheet, 0, 100));
    Dismiss(box);

    TerminateProcess(pi.hProcess, 0);
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);

    // Once the other sheet is gone, this process may open its own, and a
    // second one from here is refused the same way.
    Open();
    HANDLE second = CreateThread(nullptr, 0, OpenSheetThread, nullptr, 0, nullptr);
    box = WaitForWindow(Kind::MessageBox);
    ASSERT_TRUE(box);
    EXPECT_EQ(LoadRes(IDS_SETTING_OPENED), MessageBoxText(box));
    Dismiss(box);
    WaitForSingleObject(second, 10000);
    CloseHandle(second);
    Cancel();
}

namespace {
HWND WaitForFolderBrowser()
{
    for (int i = 0; i < 250; i++) {
        HWND found = nullptr;
        for (HWND w = FindWindowExW(nullptr, nullptr, L"#32770", nullptr); w && !found;
             w = FindWindowExW(nullptr, w, L"#32770", nullptr)) {
            DWORD pid = 0;
            GetWindowThreadProcessId(w, &pid);
            if (pid == GetCurrentProcessId() && IsWindowVisible(w) && FindWindowExW(w, nullptr, L"SysTreeView32", nullptr))
                found = w;
        }
        if (found)
            return found;
        Sleep(20);
    }
    return nullptr;
}
}  // namespace

TEST_F(LogPage, BrowseReplacesTheFolderOnlyWithADifferentOne)
{
    WCHAR windows[MAX_PATH], start[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    // The browser starts at the normalized folder; choosing that same folder
    // again is no change, whatever its spelling in the field.
    FormatStr(start, MAX_PATH, L"%s\\system32\\..", windows);
    Open();
    SetDlgItemTextW(page_, IDC_LOGFOLDER, start);
    Press(page_, IDC_BROWSE);
    HWND browser = WaitForFolderBrowser();
    ASSERT_TRUE(browser);
    Press(browser, IDOK);
    ASSERT_TRUE(WaitGone(browser));
    SendMessageW(page_, WM_NULL, 0, 0);   // the page's thread is back in its loop
    EXPECT_EQ(std::wstring(start), ControlText(page_, IDC_LOGFOLDER));

    Press(page_, IDC_BROWSE);
    browser = WaitForFolderBrowser();
    ASSERT_TRUE(browser);
    WCHAR chosen[MAX_PATH];
    FormatStr(chosen, MAX_PATH, L"%s\\system32", windows);
    SendMessageW(browser, BFFM_SETSELECTIONW, TRUE, (LPARAM)chosen);
    Press(browser, IDOK);
    ASSERT_TRUE(WaitGone(browser));
    std::wstring shown = WaitForText(page_, IDC_LOGFOLDER, chosen);
    EXPECT_EQ(0, lstrcmpiW(chosen, shown.c_str())) << testing::PrintToString(shown);
    Cancel();
}
