// The administrator tool as a process under Wine, including its settings
// dialog driven through its windows.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>
#include <shlobj.h>
#include <string>
#include <vector>
#include "module.h"
#include "cipher.h"
#include "logon_double.h"
#include "settings.h"
#include "tool_runner.h"

namespace {

const wchar_t kTitle[] = L"Velmora(\u30b5\u30fc\u30d0\u30fc)";
const wchar_t kAlreadyRunning[] = L"\u3059\u3067\u306b\u5b9f\u884c\u3055\u308c\u3066\u3044\u307e\u3059\u3002";
const wchar_t kNoUser[] = L"\u7ba1\u7406\u8005\u306e\u30e6\u30fc\u30b6\u30fc\u540d\u3092\u8a2d\u5b9a\u3057\u3066\u304f\u3060\u3055\u3044\u3002";
const wchar_t kIntervalRange[] = L"\u76e3\u8996\u9593\u9694\u306f\u30015\uff5e32767 \u306e\u7bc4\u56f2\u5185\u3067\u6307\u5b9a\u3057\u3066\u304f\u3060\u3055\u3044\u3002";
const wchar_t kRefused[] = L"\u5165\u529b\u3055\u308c\u305f\u30e6\u30fc\u30b6\u30fc\u540d\uff0f\u30d1\u30b9\u30ef\u30fc\u30c9\u304c\u3001\u30d3\u30eb\u30c8\u30a4\u30f3Administrator\u306e\u3082\u306e\u3067\u306f\u3042\u308a\u307e\u305b\u3093\u3002";
const wchar_t kNeedAdmin[] = L"\u7ba1\u7406\u8005\u6a29\u9650\u306e\u3042\u308b\u30e6\u30fc\u30b6\u30fc\u3067\u5b9f\u884c\u3057\u3066\u304f\u3060\u3055\u3044\u3002";
const wchar_t kRangeLabel[] = L"(5 - 32767) \u79d2";

TEST(AdminToolProcess, CheckAdminKeywordIsExactAndCaseSensitive)
{
    // Wine grants administrator rights to every process.
    EXPECT_EQ(1u, RunTool(L"Quorvane_Admin.exe", L" CheckAdmin"));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, RunTool(L"Quorvane_Admin.exe", L" checkadmin"));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, RunTool(L"Quorvane_Admin.exe", L" CheckAdmin "));
}

TEST(AdminToolProcess, WithoutAdministratorRightsTheCheckSaysNoAndTheSheetIsRefused)
{
    EXPECT_EQ(0u, RunTool(L"Quorvane_Admin_user.exe", L" CheckAdmin"));
    PROCESS_INFORMATION pi;
    ASSERT_TRUE(StartTool(L"Quorvane_Admin_user.exe", L"", &pi));
    HWND box = WaitForWindow(pi.dwProcessId, kTitle, true, 15000);
    ASSERT_TRUE(box != nullptr);
    EXPECT_EQ(kNeedAdmin, MessageBoxText(box));
    DismissMessageBox(box);
    EXPECT_EQ(0xFFFFFFFFu, WaitExit(pi, 15000));
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
}

// The tool keeps its settings in the machine's common settings file; the
// dialog test puts back whatever was there.
class CommonIniGuard {
public:
    CommonIniGuard() {
        WCHAR data[MAX_PATH];
        SHGetSpecialFolderPathW(nullptr, data, CSIDL_COMMON_APPDATA, TRUE);
        path_ = std::wstring(data) + COMPANY_FOLDER + COMMON_INI_NAME;
        saved_ = path_ + L".qvtest";
        had_ = CopyFileW(path_.c_str(), saved_.c_str(), FALSE) != FALSE;
        DeleteFileW(path_.c_str());
    }
    ~CommonIniGuard() {
        if (had_)
            MoveFileExW(saved_.c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING);
        else
            DeleteFileW(path_.c_str());
    }
    std::wstring Get(LPCWSTR key) const {
        WCHAR v[256];
        GetPrivateProfileStringW(L"Server", key, L"<none>", v, 256, path_.c_str());
        return v;
    }
    void Set(LPCWSTR key, LPCWSTR value) const {
        CreateFolder((path_.substr(0, path_.rfind(L'\\'))).c_str());
        WritePrivateProfileStringW(L"Server", key, value, path_.c_str());
    }
private:
    std::wstring path_, saved_;
    bool had_;
};

struct Dialog {
    PROCESS_INFORMATION pi;
    HWND sheet;
    HWND page;

    std::wstring Text(int id) const {
        WCHAR t[256] = L"";
        GetDlgItemTextW(page, id, t, 256);
        return t;
    }
    void Apply(LPCWSTR user, LPCWSTR secret, LPCWSTR interval) const {
        SetDlgItemTextW(page, 1000, user);
        SetDlgItemTextW(page, 1001, secret);
        SetDlgItemTextW(page, 1002, interval);
        const int applyButton = 0x3021;
        PostMessageW(sheet, WM_COMMAND, MAKEWPARAM(applyButton, BN_CLICKED), (LPARAM)GetDlgItem(sheet, applyButton));
    }
    // The one message that the apply shows; it must be the only one.
    std::wstring Refusal(DWORD ms = 15000) const {
        HWND box = WaitForWindow(pi.dwProcessId, kTitle, true, ms);
        if (!box)
            return L"<no message>";
        std::wstring text = MessageBoxText(box);
        DismissMessageBox(box);
        if (HWND second = WaitForWindow(pi.dwProcessId, kTitle, true, 500)) {
            text += L" + " + MessageBoxText(second);
            DismissMessageBox(second);
        }
        return text;
    }
    HWND Focus() const {
        GUITHREADINFO gti = { sizeof gti };
        GetGUIThreadInfo(pi.dwThreadId, &gti);
        return gti.hwndFocus;
    }
};

TEST(AdminToolDialog, ValidatesProvesTheAccountAndStoresIt)
{
    CommonIniGuard ini;
    ini.Set(L"Interval", L"30");
    SetLogonDoubleAccount(L"Administrator", L"s3cret pw");

    Dialog d = {};
    ASSERT_TRUE(StartTool(L"Quorvane_Admin_logon.exe", L"", &d.pi));
    d.sheet = WaitForWindow(d.pi.dwProcessId, kTitle, false, 20000);
    ASSERT_TRUE(d.sheet != nullptr) << "no settings sheet";
    d.page = (HWND)SendMessageW(d.sheet, PSM_GETCURRENTPAGEHWND, 0, 0);
    ASSERT_TRUE(d.page != nullptr);

    EXPECT_EQ(L"30", d.Text(1002));
    EXPECT_EQ(kRangeLabel, d.Text(1007));
    EXPECT_EQ(L"", d.Text(1000));
    EXPECT_FALSE(IsWindowVisible(GetDlgItem(d.page, 1008)));
    EXPECT_FALSE(IsWindowVisible(GetDlgItem(d.page, 1009)));

    {   // A second interactive instance leaves; a worker run is not hindered.
        PROCESS_INFORMATION second;
        ASSERT_TRUE(StartTool(L"Quorvane_Admin.exe", L"", &second));
        HWND box = WaitForWindow(second.dwProcessId, kTitle, true, 15000);
        ASSERT_TRUE(box != nullptr);
        EXPECT_EQ(kAlreadyRunning, MessageBoxText(box));
        DismissMessageBox(box);
        EXPECT_EQ(0xFFFFFFFFu, WaitExit(second, 15000));
        CloseHandle(second.hProcess);
        CloseHandle(second.hThread);
        EXPECT_EQ(1u, RunTool(L"Quorvane_Admin.exe", L" CheckAdmin"));
    }

    d.Apply(L"", L"", L"4");
    EXPECT_EQ(kNoUser, d.Refusal());
    EXPECT_EQ(GetDlgItem(d.page, 1000), d.Focus());

    for (LPCWSTR interval : {L"4", L"32768", L""}) {
        SCOPED_TRACE(testing::Message() << "interval " << (int)wcslen(interval) << " characters");
        d.Apply(L"Administrator", L"s3cret pw", interval);
        EXPECT_EQ(kIntervalRange, d.Refusal());
        HWND edit = GetDlgItem(d.page, 1002);
        EXPECT_EQ(edit, d.Focus());
        DWORD sel = (DWORD)SendMessageW(edit, EM_GETSEL, 0, 0);
        EXPECT_EQ(0u, LOWORD(sel));
        EXPECT_EQ(wcslen(interval), HIWORD(sel));
    }

    d.Apply(L"Administrator", L"wrong", L"5");
    EXPECT_EQ(kRefused, d.Refusal());
    EXPECT_EQ(L"<none>", ini.Get(L"AdminUser")) << "nothing is saved before the account is proved";

    d.Apply(L"Administrator", L"s3cret pw", L"32767");
    for (int i = 0; i < 200 && ini.Get(L"AdminUser") == L"<none>"; i++)
        Sleep(50);
    EXPECT_EQ(L"<no message>", d.Refusal(1500));
    EXPECT_EQ(L"Administrator", ini.Get(L"AdminUser"));
    EXPECT_EQ(L"32767", ini.Get(L"Interval"));
    std::wstring stored = ini.Get(L"AdminPassword");
    EXPECT_NE(L"s3cret pw", stored) << "the secret must be stored enciphered";
    WCHAR secret[CCH_CREDENTIAL];
    ReadStoredCredential(stored.c_str(), secret);
    EXPECT_STREQ(L"s3cret pw", secret);

    PostMessageW(d.sheet, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(0u, WaitExit(d.pi, 15000));
    CloseHandle(d.pi.hProcess);
    CloseHandle(d.pi.hThread);
}

}  // namespace
