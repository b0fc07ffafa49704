// The demonstration's helper in both Wine prefixes of a simulated Remote
// Desktop session (scripts/demo.sh drives it): one prefix is the user's PC,
// where the client host double loads the real add-in; the other is the
// terminal server, where the server module's simulation build runs its real
// watch loop. Nothing is shared between them but the loopback link.
//
//   qv_demo.exe pc-setup [count]     the local printer and its driver data; with a
//                                    count, "<printer> 2" and on as well
//   qv_demo.exe pc-dump              what the PC has: device mode, both trees
//   qv_demo.exe pc-remove            removes the demo data from the PC
//   qv_demo.exe ts-setup <sim.ini> [session [late] [noaccount]]   common settings and a
//                                    simulated session; late: its printer is redirected
//                                    later; noaccount: no administrator account stored
//   qv_demo.exe ts-account           stores the administrator account
//   qv_demo.exe ts-service-stop      ends the service's simulation build
//   qv_demo.exe ts-dump <sim.ini>    what the server's printer has now
//   qv_demo.exe ts-wait <sim.ini> port <old> <seconds>     a (new) instance listening
//   qv_demo.exe ts-wait <sim.ini> applied <seconds>        answers the module's
//                                    message boxes until the device mode is set
//   qv_demo.exe ts-common <key> <value>   one [Server] value of the common settings
//   qv_demo.exe ts-redirect <sim.ini> <seconds>  the client redirects the printer
//                                    now; the time until its device mode is set
//   qv_demo.exe ts-disconnect <sim.ini> | ts-reconnect <sim.ini> | ts-stop
//   qv_demo.exe version <file>       a file's version
//
// Test and demonstration builds only.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <stddef.h>
#include <stdio.h>
#include <shlwapi.h>
#include <wtsapi32.h>
#include <string>
#include <vector>
#include <fcntl.h>
#include <io.h>
#include <shlobj.h>
#include "frame.h"
#include "log.h"
#include "module.h"
#include "printer_double.h"
#include "rdpcmd.h"
#include "regops.h"
#include "settings.h"
#include "cipher.h"
#include "regtree.h"
#include "tool_runner.h"
#include "../../service/doubles/svc_sim.h"

namespace {

using Bytes = std::vector<BYTE>;

const WCHAR kPrinter[] = L"Quorvane Demo Printer";
const WCHAR kPdl[] = L"QvDemoPDL";
const WCHAR kSimPrinters[] = L"Software\\Quorvane Demo\\Printers";
const WCHAR kSimRoot[] = L"Software\\Quorvane Demo";
const WCHAR kPrintersKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers";
const WCHAR kVendorKey[] = L"Software\\Halvren";
const WCHAR kServerPrinter[] = L"Quorvane Demo Printer (redirected 2)";
const WCHAR kDriver[] = L"Quorvane Demo Driver";
const WCHAR kAdmin[] = L"qvdemo-admin";
const WCHAR kAdminSecret[] = L"demo-secret";

WCHAR g_hklmPath[CCH_REG_PATH];
WCHAR g_hkcuPath[CCH_REG_PATH];

void Say(LPCWSTR fmt, ...)
{
    WCHAR line[1024];
    va_list args;
    va_start(args, fmt);
    FormatStrV(line, ARRAYSIZE(line), fmt, args);
    va_end(args);
    char out[3 * ARRAYSIZE(line)];
    int n = WideCharToMultiByte(CP_UTF8, 0, line, -1, out, sizeof out, nullptr, nullptr);
    if (n > 0) {
        fputs(out, stdout);
        fputs("\n", stdout);
        fflush(stdout);
    }
}

// --- the simulated local PC ---------------------------------------------------

LONG SetValue(HKEY root, LPCWSTR key, LPCWSTR name, DWORD type, const void* data, DWORD size)
{
    return RegSetKeyValueW(root, key, name, type, data, size);
}

LONG SetString(HKEY root, LPCWSTR key, LPCWSTR name, LPCWSTR text)
{
    return SetValue(root, key, name, REG_SZ, text, (DWORD)(wcslen(text) + 1) * sizeof(WCHAR));
}

LONG SetDword(HKEY root, LPCWSTR key, LPCWSTR name, DWORD value)
{
    return SetValue(root, key, name, REG_DWORD, &value, sizeof value);
}

// The PC's printers: the demo's one, and for the logon storm "<name> 2" and on.
std::wstring LocalPrinter(int i)
{
    return i == 1 ? std::wstring(kPrinter) : std::wstring(kPrinter) + L" " + std::to_wstring(i);
}

const int kMaxLocalPrinters = 9;

void RemoveLocalPc()
{
    WCHAR printerKey[CCH_REG_PATH], vendorKey[CCH_REG_PATH];
    for (int i = 1; i <= kMaxLocalPrinters; i++) {
        FormatStr(printerKey, ARRAYSIZE(printerKey), L"%s\\%s", kPrintersKey, LocalPrinter(i).c_str());
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, printerKey);
    }
    FormatStr(vendorKey, ARRAYSIZE(vendorKey), L"%s\\%s", kVendorKey, kPdl);
    RegDeleteTreeW(HKEY_CURRENT_USER, vendorKey);
    RegDeleteKeyW(HKEY_CURRENT_USER, kVendorKey);   // only when nothing else lives there
    RegDeleteTreeW(HKEY_CURRENT_USER, kSimRoot);
}

// One local printer whose device mode carries driver-private bytes, and the
// driver's data under both hives, as the client add-in finds them.
LONG PrepareLocalPrinter(LPCWSTR printer, LPWSTR hklmPath, LPWSTR hkcuPath, Bytes* devModeOut)
{
    FormatStr(hklmPath, CCH_REG_PATH, L"%s\\%s\\PrinterDriverData", kPrintersKey, printer);
    FormatStr(hkcuPath, CCH_REG_PATH, L"%s\\%s\\%s", kVendorKey, kPdl, printer);
    WCHAR trays[CCH_REG_PATH], presets[CCH_REG_PATH];
    FormatStr(trays, ARRAYSIZE(trays), L"%s\\Trays", hklmPath);
    FormatStr(presets, ARRAYSIZE(presets), L"%s\\Presets\\Draft", hkcuPath);

    Bytes devMode = PrinterDouble::MakeDevMode(printer, 0x0301, 96, 0xD5);
    *devModeOut = devMode;
    const BYTE blob[] = {0x44, 0x45, 0x4D, 0x4F, 0x01, 0x02, 0x03, 0x04, 0xA0, 0xB0, 0xC0, 0xD0};
    LONG rc = SetValue(HKEY_CURRENT_USER, kSimPrinters, printer, REG_BINARY, devMode.data(), (DWORD)devMode.size());
    if (!rc) rc = SetString(HKEY_LOCAL_MACHINE, hklmPath, L"Model", L"Demo Laser 100");
    if (!rc) rc = SetDword(HKEY_LOCAL_MACHINE, hklmPath, L"Resolution", 600);
    if (!rc) rc = SetValue(HKEY_LOCAL_MACHINE, hklmPath, L"FeatureBlob", REG_BINARY, blob, sizeof blob);
    if (!rc) rc = SetString(HKEY_LOCAL_MACHINE, trays, L"Tray1", L"A4");
    if (!rc) rc = SetString(HKEY_LOCAL_MACHINE, trays, L"Tray2", L"B5");
    if (!rc) rc = SetDword(HKEY_CURRENT_USER, hkcuPath, L"Duplex", 1);
    if (!rc) rc = SetString(HKEY_CURRENT_USER, hkcuPath, L"Watermark", L"DEMO");
    if (!rc) rc = SetDword(HKEY_CURRENT_USER, presets, L"Copies", 2);
    return rc;
}

bool PrepareLocalPc(int count)
{
    RemoveLocalPc();
    Bytes devMode;
    LONG rc = PrepareLocalPrinter(kPrinter, g_hklmPath, g_hkcuPath, &devMode);
    for (int i = 2; i <= count && i <= kMaxLocalPrinters && !rc; i++) {
        WCHAR hklm[CCH_REG_PATH], hkcu[CCH_REG_PATH];
        Bytes more;
        rc = PrepareLocalPrinter(LocalPrinter(i).c_str(), hklm, hkcu, &more);
    }
    if (rc) {
        Say(L"local PC: registry write failed, error %ld", rc);
        return false;
    }
    SetEnvironmentVariableW(L"QV_SIM_PRINTERS", kSimPrinters);
    Say(L"local PC: printer \"%s\", device mode %u bytes (%u of them driver-private)", kPrinter,
        (unsigned)devMode.size(), (unsigned)(devMode.size() - sizeof(DEVMODEW)));
    Say(L"  HKLM\\%s", g_hklmPath);
    Say(L"  HKCU\\%s", g_hkcuPath);
    return true;
}


// The redirected printer of a simulated session, as its settings file lists it.
std::wstring ServerPrinter(LPCWSTR ini)
{
    WCHAR line[512];
    GetPrivateProfileStringW(L"Demo", L"Printer", kServerPrinter, line, ARRAYSIZE(line), ini);
    std::wstring name = line;
    return name.substr(0, name.find(L'|'));
}

// --- dumps: the same text on both sides when the settings arrived --------------

void DumpDevMode(const Bytes& dm)
{
    Say(L"DEVMODE %u bytes", (unsigned)dm.size());
    WCHAR line[128];
    for (size_t at = 0; at < dm.size(); at += 32) {
        int n = 0;
        for (size_t i = at; i < dm.size() && i < at + 32; i++)
            n += FormatStr(line + n, ARRAYSIZE(line) - n, L"%02X", dm[i]);
        Say(L"  %04X %s", (unsigned)at, line);
    }
}

void DumpKey(LPCWSTR hive, HKEY root, const std::wstring& path)
{
    Say(L"%s tree", hive);
    std::wstring tree = DumpTree(root, path);
    size_t from = 0;
    while (from < tree.size()) {
        size_t to = tree.find(L'\n', from);
        if (to == std::wstring::npos)
            to = tree.size();
        Say(L"  %s", tree.substr(from, to - from).c_str());
        from = to + 1;
    }
}

Bytes RegistryBytes(HKEY root, LPCWSTR key, LPCWSTR name)
{
    DWORD size = 0;
    if (RegGetValueW(root, key, name, RRF_RT_REG_BINARY, nullptr, nullptr, &size) != ERROR_SUCCESS)
        return Bytes();
    Bytes b(size);
    if (RegGetValueW(root, key, name, RRF_RT_REG_BINARY, nullptr, b.data(), &size) != ERROR_SUCCESS)
        return Bytes();
    b.resize(size);
    return b;
}

Bytes HexBytes(LPCWSTR hex)
{
    Bytes b;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2) {
        WCHAR pair[3] = {hex[i], hex[i + 1], 0};
        b.push_back((BYTE)wcstoul(pair, nullptr, 16));
    }
    return b;
}

int PcDump()
{
    DumpDevMode(RegistryBytes(HKEY_CURRENT_USER, kSimPrinters, kPrinter));
    DumpKey(L"HKLM PrinterDriverData", HKEY_LOCAL_MACHINE, g_hklmPath);
    DumpKey(L"HKCU driver key", HKEY_CURRENT_USER, g_hkcuPath);
    return 0;
}

int TsDump(LPCWSTR ini)
{
    std::vector<WCHAR> hex(65536);
    std::wstring printer = ServerPrinter(ini);
    GetPrivateProfileStringW(L"Level9", printer.c_str(), L"", hex.data(), (DWORD)hex.size(), ini);
    WCHAR hklm[CCH_REG_PATH], hkcu[CCH_REG_PATH];
    FormatStr(hklm, ARRAYSIZE(hklm), L"%s\\%s\\PrinterDriverData", kPrintersKey, printer.c_str());
    FormatStr(hkcu, ARRAYSIZE(hkcu), L"%s\\%s\\%s", kVendorKey, kPdl, printer.c_str());
    DumpDevMode(HexBytes(hex.data()));
    DumpKey(L"HKLM PrinterDriverData", HKEY_LOCAL_MACHINE, hklm);
    DumpKey(L"HKCU driver key", HKEY_CURRENT_USER, hkcu);
    return 0;
}

// --- the terminal server ---------------------------------------------------------

std::wstring CommonIni()
{
    WCHAR folder[MAX_PATH];
    SHGetSpecialFolderPathW(nullptr, folder, CSIDL_COMMON_APPDATA, TRUE);
    std::wstring dir = std::wstring(folder) + L"\\Halvren KT\\Quorvane";
    SHCreateDirectoryExW(nullptr, dir.c_str(), nullptr);
    return dir + L"\\Quorvane.ini";
}

int TsAccount(bool store)
{
    std::wstring common = CommonIni();
    WCHAR stored[256] = L"";
    DWORD cch = ARRAYSIZE(stored);
    if (store && EncryptCredential(kAdminSecret, stored, &cch) != CRED_OK) {
        Say(L"terminal server: the administrator secret could not be enciphered");
        return 1;
    }
    WritePrivateProfileStringW(L"Server", L"AdminUser", store ? kAdmin : nullptr, common.c_str());
    WritePrivateProfileStringW(L"Server", L"AdminPassword", store ? stored : nullptr, common.c_str());
    WritePrivateProfileStringW(nullptr, nullptr, nullptr, common.c_str());
    Say(store ? L"terminal server: administrator account \"%s\" stored" : L"terminal server: no administrator account stored",
        kAdmin);
    return 0;
}

int TsServiceStop()
{
    HANDLE stop = OpenEventW(EVENT_MODIFY_STATE, FALSE, SVC_SIM_STOP_EVENT);
    if (!stop)
        return 1;
    SetEvent(stop);
    CloseHandle(stop);
    return 0;
}

int TsSetup(LPCWSTR ini, DWORD session, bool account, bool late)
{
    std::wstring common = CommonIni();
    if (TsAccount(account) != 0)
        return 1;
    // Notifications start the passes; the interval is only the safety net.
    WritePrivateProfileStringW(L"Server", L"Interval", L"300", common.c_str());
    WCHAR line[256];
    FormatStr(line, ARRAYSIZE(line), L"%s,-,%s", kDriver, kPdl);
    WritePrivateProfileStringW(L"Drivers", L"Demo", line, common.c_str());
    WritePrivateProfileStringW(nullptr, nullptr, nullptr, common.c_str());

    // The session user's log, detailed enough to follow every step.
    WCHAR roaming[MAX_PATH];
    SHGetSpecialFolderPathW(nullptr, roaming, CSIDL_APPDATA, TRUE);
    std::wstring userDir = std::wstring(roaming) + L"\\Halvren KT\\Quorvane";
    SHCreateDirectoryExW(nullptr, userDir.c_str(), nullptr);
    WCHAR user[64], printer[128];
    FormatStr(user, ARRAYSIZE(user), session == 2 ? L"tsuser" : L"tsuser%u", session);
    FormatStr(printer, ARRAYSIZE(printer), L"Quorvane Demo Printer (redirected %u)", session);
    std::wstring userIni = userDir + L"\\Quorvane_" + user + L".ini";
    WritePrivateProfileStringW(L"Server", L"LogLevel", L"4", userIni.c_str());
    WritePrivateProfileStringW(nullptr, nullptr, nullptr, userIni.c_str());

    DeleteFileW(ini);
    WritePrivateProfileStringW(L"Session", L"Id", std::to_wstring(session).c_str(), ini);
    WritePrivateProfileStringW(L"Session", L"UserName", user, ini);
    WritePrivateProfileStringW(L"Session", L"ClientName", L"QV-DEMO-PC", ini);
    WritePrivateProfileStringW(L"Session", L"Address", L"192.0.2.10", ini);
    WritePrivateProfileStringW(L"Link", L"Port", L"0", ini);
    WritePrivateProfileStringW(L"Link", L"ServerName", L"TS-DEMO", ini);
    FormatStr(line, ARRAYSIZE(line), L"%s|%s|0x8000|0x0301", printer, kDriver);
    if (!late)
        WritePrivateProfileStringW(L"Printers", L"p1", line, ini);
    WritePrivateProfileStringW(L"Demo", L"Printer", printer, ini);
    // The spooler makes a printer's key when it adds the printer; the
    // service and the tool write only beneath a key that is there.
    WCHAR printerKey[256];
    FormatStr(printerKey, ARRAYSIZE(printerKey), L"%s\\%s", kPrintersKey, printer);
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, printerKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) == ERROR_SUCCESS)
        RegCloseKey(key);
    WritePrivateProfileStringW(L"Demo", L"PrinterLine", line, ini);
    WritePrivateProfileStringW(nullptr, nullptr, nullptr, ini);
    Say(L"terminal server: redirected printer \"%s\", driver \"%s\" (a target driver, PDL %s),", printer,
        kDriver, kPdl);
    Say(L"  watch interval 300 s (printer and session notifications start the passes)");
    return 0;
}

std::wstring IniString(LPCWSTR ini, LPCWSTR section, LPCWSTR key)
{
    WCHAR text[256];
    GetPrivateProfileStringW(section, key, L"", text, ARRAYSIZE(text), ini);
    return text;
}

BOOL CALLBACK FindBox(HWND wnd, LPARAM lp)
{
    WCHAR cls[16];
    if (IsWindowVisible(wnd) && GetClassNameW(wnd, cls, ARRAYSIZE(cls)) && lstrcmpW(cls, L"#32770") == 0) {
        *(HWND*)lp = wnd;
        return FALSE;
    }
    return TRUE;
}

// Answers one message box of the server module as its user would: Yes to the
// update question, OK to everything else.
void AnswerBoxes()
{
    HWND box = nullptr;
    EnumWindows(FindBox, (LPARAM)&box);
    if (!box)
        return;
    std::wstring text = MessageBoxText(box);
    bool question = GetDlgItem(box, IDYES) != nullptr;
    for (auto& c : text)
        if (c == L'\n' || c == L'\r')
            c = L' ';
    Say(L"  message box: %s", text.c_str());
    Say(L"    answered: %s", question ? L"Yes" : L"OK");
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(question ? IDYES : IDOK, BN_CLICKED), 0);
    for (int i = 0; i < 100 && IsWindow(box); i++)
        Sleep(50);
}

int TsWait(LPCWSTR ini, LPCWSTR what, LPCWSTR old, DWORD seconds)
{
    DWORD start = GetTickCount();
    bool port = lstrcmpW(what, L"port") == 0;
    while (GetTickCount() - start < seconds * 1000) {
        if (port) {
            std::wstring now = IniString(ini, L"Link", L"PortInUse");
            if (!now.empty() && now != old) {
                Say(L"%s", now.c_str());
                return 0;
            }
        } else {
            AnswerBoxes();
            if (!IniString(ini, L"Level9", ServerPrinter(ini).c_str()).empty()) {
                DWORD ms = GetTickCount() - start;
                Say(L"  device mode set on the server printer %u.%u s after the client joined", ms / 1000,
                    ms % 1000 / 100);
                return 0;
            }
        }
        Sleep(100);
    }
    Say(L"  time out waiting for %s", what);
    return 1;
}

// A fresh read of the settings file: this process's cached copy may be
// older than another process's last write.
std::wstring FreshIniString(LPCWSTR ini, LPCWSTR section, LPCWSTR key)
{
    WritePrivateProfileStringW(nullptr, nullptr, nullptr, ini);
    return IniString(ini, section, key);
}

// The client redirects the printer: the spooler double of the running
// server module takes it from the arrival file.
int TsRedirect(LPCWSTR ini, DWORD seconds)
{
    std::wstring printer = ServerPrinter(ini), line = IniString(ini, L"Demo", L"PrinterLine");
    char text[1024];
    int n = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, text, sizeof text, nullptr, nullptr);
    std::wstring path = std::wstring(ini) + L".arrive", temp = path + L"~";
    HANDLE f = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    BOOL ok = f != INVALID_HANDLE_VALUE && n > 1 && WriteFile(f, text, (DWORD)n - 1, &written, nullptr);
    if (f != INVALID_HANDLE_VALUE)
        CloseHandle(f);
    LARGE_INTEGER freq, start, now;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&start);
    if (!ok || !MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        Say(L"  the printer could not be redirected (error %u)", GetLastError());
        return 1;
    }
    Say(L"  printer \"%s\" redirected by the client", printer.c_str());
    for (;;) {
        QueryPerformanceCounter(&now);
        DWORD ms = (DWORD)((now.QuadPart - start.QuadPart) * 1000 / freq.QuadPart);
        if (!FreshIniString(ini, L"Level9", printer.c_str()).empty()) {
            Say(L"  device mode set on the server printer %u ms after the printer appeared", ms);
            return 0;
        }
        if (ms > seconds * 1000) {
            Say(L"  time out: no device mode %u s after the printer appeared", seconds);
            return 1;
        }
        Sleep(10);
    }
}

int TsStop()
{
    HWND w = FindWindowW(L"QUORVANE_SV", nullptr);
    if (!w)
        return 1;
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    PostMessageW(w, WM_CLOSE, 0, 0);
    DWORD r = process ? WaitForSingleObject(process, 20000) : WAIT_FAILED;
    if (process)
        CloseHandle(process);
    return r == WAIT_OBJECT_0 ? 0 : 1;
}

int ShowVersion(LPCWSTR path)
{
    DWORD ms = 0, ls = 0;
    if (GetFileVersionMSLS(path, &ms, &ls) != 0) {
        Say(L"none");
        return 1;
    }
    Say(L"%u.%u.%u.%u", HIWORD(ms), LOWORD(ms), HIWORD(ls), LOWORD(ls));
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    _setmode(_fileno(stdout), _O_BINARY);
    g_hInst = GetModuleHandleW(nullptr);
    FormatStr(g_hklmPath, ARRAYSIZE(g_hklmPath), L"%s\\%s\\PrinterDriverData", kPrintersKey, kPrinter);
    FormatStr(g_hkcuPath, ARRAYSIZE(g_hkcuPath), L"%s\\%s\\%s", kVendorKey, kPdl, kPrinter);
    std::wstring mode = argc > 1 ? argv[1] : L"";
    LPCWSTR arg = argc > 2 ? argv[2] : L"";
    if (mode == L"pc-setup")
        return PrepareLocalPc(argc > 2 ? _wtoi(arg) : 1) ? 0 : 1;
    if (mode == L"pc-dump")
        return PcDump();
    if (mode == L"pc-remove") {
        RemoveLocalPc();
        return 0;
    }
    if (mode == L"ts-setup") {
        bool late = false, account = true;
        for (int i = 4; i < argc; i++) {
            late |= lstrcmpW(argv[i], L"late") == 0;
            account &= lstrcmpW(argv[i], L"noaccount") != 0;
        }
        return TsSetup(arg, argc > 3 ? (DWORD)_wtoi(argv[3]) : 2, account, late);
    }
    if (mode == L"ts-account")
        return TsAccount(true);
    if (mode == L"ts-service-stop")
        return TsServiceStop();
    if (mode == L"ts-dump")
        return TsDump(arg);
    if (mode == L"ts-wait" && argc == 6 && lstrcmpW(argv[3], L"port") == 0)
        return TsWait(arg, L"port", argv[4], (DWORD)_wtoi(argv[5]));
    if (mode == L"ts-wait" && argc == 5 && lstrcmpW(argv[3], L"applied") == 0)
        return TsWait(arg, L"applied", L"", (DWORD)_wtoi(argv[4]));
    if (mode == L"ts-disconnect" || mode == L"ts-reconnect") {
        std::wstring signal = std::wstring(arg) + L".disconnect";
        if (mode == L"ts-disconnect") {
            // The session's redirected printers go with the connection.
            WritePrivateProfileStringW(L"Printers", nullptr, nullptr, arg);
            WritePrivateProfileStringW(L"Level9", nullptr, nullptr, arg);
            WritePrivateProfileStringW(nullptr, nullptr, nullptr, arg);
            DeleteFileW((std::wstring(arg) + L".arrive").c_str());
            CloseHandle(CreateFileW(signal.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        } else {
            DeleteFileW(signal.c_str());
            WritePrivateProfileStringW(L"Level9", nullptr, nullptr, arg);
        }
        WritePrivateProfileStringW(nullptr, nullptr, nullptr, arg);
        return 0;
    }
    if (mode == L"ts-common" && argc == 4) {
        std::wstring common = CommonIni();
        return WritePrivateProfileStringW(L"Server", arg, argv[3], common.c_str()) ? 0 : 1;
    }
    if (mode == L"ts-redirect" && argc == 4)
        return TsRedirect(arg, (DWORD)_wtoi(argv[3]));
    if (mode == L"ts-stop")
        return TsStop();
    if (mode == L"version")
        return ShowVersion(arg);
    Say(L"usage: qv_demo.exe pc-setup|pc-dump|pc-remove|ts-setup|ts-dump|ts-wait|ts-common|ts-redirect|ts-disconnect|ts-reconnect|ts-stop|version ...");
    return 2;
}
