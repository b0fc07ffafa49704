// Demonstration of the server module's channel exchange in a simulated Remote
// Desktop session: the module's session queries and channel I/O (wtsio.cpp)
// against the real client add-in, which the client host double loads in a
// 32-bit process of its own at the far end of the loopback link.
//
//   qv_demo.exe [<host exe> <client library>]
//
// Without arguments the host and the simulation library are taken from the
// 32-bit build tree beside ours (..\..\x86\client\sim\ from this program).
// The local PC's printer and its driver data are written into the registry
// under names marked as demo data, and removed again at the end.
//
// Exit codes: 0 every exchange succeeded, 1 an exchange or the host's end
// failed, 3 the host did not join the link, 4 host or library missing.
// Test and demonstration builds only.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <stddef.h>
#include <stdio.h>
#include <shlwapi.h>
#include <wtsapi32.h>
#include <string>
#include <vector>
#include "log.h"
#include "module.h"
#include "printer_double.h"
#include "rdpcmd.h"
#include "regops.h"
#include "settings.h"
#include "wts_double.h"
#include "wtsio.h"

namespace {

using Bytes = std::vector<BYTE>;

const WCHAR kPrinter[] = L"Quorvane Demo Printer";
const WCHAR kPdl[] = L"QvDemoPDL";
const WCHAR kSimPrinters[] = L"Software\\Quorvane Demo\\Printers";
const WCHAR kSimRoot[] = L"Software\\Quorvane Demo";
const WCHAR kPrintersKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers";
const WCHAR kVendorKey[] = L"Software\\Halvren";
const WCHAR kServerName[] = L"TS-DEMO";

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

void RemoveLocalPc()
{
    WCHAR printerKey[CCH_REG_PATH], vendorKey[CCH_REG_PATH];
    FormatStr(printerKey, ARRAYSIZE(printerKey), L"%s\\%s", kPrintersKey, kPrinter);
    FormatStr(vendorKey, ARRAYSIZE(vendorKey), L"%s\\%s", kVendorKey, kPdl);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, printerKey);
    RegDeleteTreeW(HKEY_CURRENT_USER, vendorKey);
    RegDeleteKeyW(HKEY_CURRENT_USER, kVendorKey);   // only when nothing else lives there
    RegDeleteTreeW(HKEY_CURRENT_USER, kSimRoot);
}

// One local printer whose device mode carries driver-private bytes, and the
// driver's data under both hives, as the client add-in finds them.
bool PrepareLocalPc()
{
    RemoveLocalPc();
    FormatStr(g_hklmPath, ARRAYSIZE(g_hklmPath), L"%s\\%s\\PrinterDriverData", kPrintersKey, kPrinter);
    FormatStr(g_hkcuPath, ARRAYSIZE(g_hkcuPath), L"%s\\%s\\%s", kVendorKey, kPdl, kPrinter);
    WCHAR trays[CCH_REG_PATH], presets[CCH_REG_PATH];
    FormatStr(trays, ARRAYSIZE(trays), L"%s\\Trays", g_hklmPath);
    FormatStr(presets, ARRAYSIZE(presets), L"%s\\Presets\\Draft", g_hkcuPath);

    Bytes devMode = PrinterDouble::MakeDevMode(kPrinter, 0x0301, 96, 0xD5);
    const BYTE blob[] = {0x44, 0x45, 0x4D, 0x4F, 0x01, 0x02, 0x03, 0x04, 0xA0, 0xB0, 0xC0, 0xD0};
    LONG rc = SetValue(HKEY_CURRENT_USER, kSimPrinters, kPrinter, REG_BINARY, devMode.data(), (DWORD)devMode.size());
    if (!rc) rc = SetString(HKEY_LOCAL_MACHINE, g_hklmPath, L"Model", L"Demo Laser 100");
    if (!rc) rc = SetDword(HKEY_LOCAL_MACHINE, g_hklmPath, L"Resolution", 600);
    if (!rc) rc = SetValue(HKEY_LOCAL_MACHINE, g_hklmPath, L"FeatureBlob", REG_BINARY, blob, sizeof blob);
    if (!rc) rc = SetString(HKEY_LOCAL_MACHINE, trays, L"Tray1", L"A4");
    if (!rc) rc = SetString(HKEY_LOCAL_MACHINE, trays, L"Tray2", L"B5");
    if (!rc) rc = SetDword(HKEY_CURRENT_USER, g_hkcuPath, L"Duplex", 1);
    if (!rc) rc = SetString(HKEY_CURRENT_USER, g_hkcuPath, L"Watermark", L"DEMO");
    if (!rc) rc = SetDword(HKEY_CURRENT_USER, presets, L"Copies", 2);
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

// --- reading replies, every item checked against what arrived -----------------------

bool ReadDword(CRdpData& msg, DWORD* value)
{
    return msg.GetBuf(value, sizeof *value, FALSE) == sizeof *value;
}

// A buffer behind its DWORD size; the size is checked against the payload
// left before anything is allocated.
bool ReadSized(CRdpData& msg, Bytes* out)
{
    DWORD size = 0;
    if (!ReadDword(msg, &size) || size > msg.Len() - msg.ReadPos())
        return false;
    out->assign(size, 0);
    return size == 0 || msg.GetBuf(out->data(), size, FALSE) == size;
}

bool Answered(const CRdpData& reply, WORD cmd, LPCWSTR name)
{
    if (!reply.Buffer()) {
        Say(L"%s: no reply", name);
        return false;
    }
    Say(L"%s: RES 0x%04X, %u payload bytes", name, reply.Res(), reply.Len());
    if (reply.Cmd() != cmd) {
        Say(L"  reply carries CMD %u", reply.Cmd());
        return false;
    }
    return reply.Res() == RDP_RES_OK;
}

bool Greet(HANDLE channel)
{
    CRdpData request;
    MakeInitializeRequest(request, WTS_GetSessinID(), g_szUserName);
    CRdpData reply = WriteAndReadRDP(channel, request);
    if (!Answered(reply, RDP_CMD_INITIALIZE, L"RDP_CMD_INITIALIZE"))
        return false;
    WCHAR user[CCH_CLIENT_USER];
    if (reply.GetString(user, ARRAYSIZE(user)) == RDP_STRING_BAD) {
        Say(L"  malformed reply");
        return false;
    }
    Say(L"  client user: %s", user);
    return true;
}

bool AskFileVersion(HANDLE channel)
{
    CRdpData request;
    MakeGetFileVerRequest(request);
    CRdpData reply = WriteAndReadRDP(channel, request);
    if (!Answered(reply, RDP_CMD_GETFILEVER, L"RDP_CMD_GETFILEVER"))
        return false;
    DWORD canUpdate = 0, ms = 0, ls = 0;
    WCHAR name[CCH_FILE_NAME];
    if (!ReadDword(reply, &canUpdate) || reply.GetString(name, ARRAYSIZE(name)) == RDP_STRING_BAD ||
        !ReadDword(reply, &ms) || !ReadDword(reply, &ls)) {
        Say(L"  malformed reply");
        return false;
    }
    Say(L"  %s version %u.%u.%u.%u, this client may update it: %s", name, HIWORD(ms), LOWORD(ms), HIWORD(ls),
        LOWORD(ls), canUpdate ? L"yes" : L"no");
    return true;
}

void ShowDevMode(const Bytes& dm)
{
    if (dm.size() < offsetof(DEVMODEW, dmFields)) {
        Say(L"  DEVMODE %u bytes: too short for its header", (unsigned)dm.size());
        return;
    }
    WCHAR device[CCHDEVICENAME + 1] = {};
    memcpy(device, dm.data(), CCHDEVICENAME * sizeof(WCHAR));
    WORD version, size, extra;
    memcpy(&version, dm.data() + offsetof(DEVMODEW, dmDriverVersion), sizeof version);
    memcpy(&size, dm.data() + offsetof(DEVMODEW, dmSize), sizeof size);
    memcpy(&extra, dm.data() + offsetof(DEVMODEW, dmDriverExtra), sizeof extra);
    Say(L"  DEVMODE %u bytes: device \"%s\", driver version 0x%04X, dmSize %u + dmDriverExtra %u%s",
        (unsigned)dm.size(), device, version, size, extra,
        (DWORD)size + extra == dm.size() ? L"" : L" (does not add up)");
}

LPCWSTR TypeName(DWORD type)
{
    switch (type) {
    case REG_SZ:        return L"REG_SZ";
    case REG_EXPAND_SZ: return L"REG_EXPAND_SZ";
    case REG_MULTI_SZ:  return L"REG_MULTI_SZ";
    case REG_DWORD:     return L"REG_DWORD";
    case REG_QWORD:     return L"REG_QWORD";
    case REG_BINARY:    return L"REG_BINARY";
    default:            return L"other";
    }
}

// A short rendering of a value's data, which lies inside the image.
void Preview(DWORD type, const BYTE* data, DWORD size, LPWSTR out, size_t cch)
{
    if ((type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) && size >= sizeof(WCHAR)) {
        WCHAR text[64];
        size_t n = 0;
        for (; n + 1 < ARRAYSIZE(text) && (n + 1) * sizeof(WCHAR) <= size; n++) {
            memcpy(&text[n], data + n * sizeof(WCHAR), sizeof(WCHAR));
            if (!text[n])
                break;
        }
        text[n] = 0;
        FormatStr(out, cch, L"\"%s\"", text);
    } else if (type == REG_DWORD && size == sizeof(DWORD)) {
        DWORD v;
        memcpy(&v, data, sizeof v);
        FormatStr(out, cch, L"%u", v);
    } else {
        WCHAR hex[64] = L"";
        for (DWORD i = 0; i < size && i < 8; i++)
            FormatStr(hex + i * 3, ARRAYSIZE(hex) - i * 3, L"%02X ", data[i]);
        FormatStr(out, cch, L"%s%s(%u bytes)", hex, size > 8 ? L"... " : L"", size);
    }
}

// A record's name of cbName bytes at pos, copied out; false when it leaves the image.
bool Name(const Bytes& image, DWORD pos, DWORD cbName, LPWSTR out, size_t cch, LPCWSTR empty)
{
    if (cbName == 0) {
        lstrcpynW(out, empty, (int)cch);
        return true;
    }
    if (cbName % 2 || cbName > image.size() || pos > image.size() - cbName)
        return false;
    size_t n = cbName / 2 < cch ? cbName / 2 : cch;
    memcpy(out, image.data() + pos, n * sizeof(WCHAR));
    out[n - 1] = 0;
    return true;
}

// Lists the keys and values of a registry tree image exported from `path`.
bool ShowImage(LPCWSTR hive, LPCWSTR path, const Bytes& image)
{
    DWORD size = (DWORD)image.size();
    Say(L"  %s image: %u bytes", hive, size);
    if (size == 0)
        return true;
    if (ValidateRegImage(path, image.data(), size) != 0) {
        Say(L"    malformed image");
        return false;
    }
    REGIMAGEHEADER header;
    memcpy(&header, image.data(), sizeof header);
    Say(L"    %u keys, %u values", header.dwKeys, header.dwValues);
    DWORD pos = sizeof header;
    for (DWORD k = 0; k < header.dwKeys; k++) {
        REGKEYRECORD key;
        WCHAR name[CCH_REG_KEY_PATH];
        if (size - pos < sizeof key)
            return false;
        memcpy(&key, image.data() + pos, sizeof key);
        pos += sizeof key;
        if (!Name(image, pos, key.cbName, name, ARRAYSIZE(name), L"(exported key)"))
            return false;
        pos += key.cbName;
        Say(L"    [%s]", name);
        for (DWORD v = 0; v < key.dwValues; v++) {
            REGVALUERECORD value;
            if (size - pos < sizeof value)
                return false;
            memcpy(&value, image.data() + pos, sizeof value);
            pos += sizeof value;
            if (!Name(image, pos, value.cbName, name, ARRAYSIZE(name), L"(default)") ||
                value.dwDataOffset > size || value.cbData > size - value.dwDataOffset)
                return false;
            pos += value.cbName;
            WCHAR data[128];
            Preview(value.dwType, image.data() + value.dwDataOffset, value.cbData, data, ARRAYSIZE(data));
            Say(L"      %s  %s  %s", name, TypeName(value.dwType), data);
        }
    }
    return true;
}

bool FetchProperties(HANDLE channel)
{
    CRdpData request;
    MakeGetPropertiesRequest(request, kPrinter, g_hklmPath, g_hkcuPath);
    CRdpData reply = WriteAndReadRDP(channel, request);
    if (!Answered(reply, RDP_CMD_GETPROPERTIES, L"RDP_CMD_GETPROPERTIES"))
        return false;
    Bytes devMode, hklm, hkcu;
    if (!ReadSized(reply, &devMode) || !ReadSized(reply, &hklm) || !ReadSized(reply, &hkcu)) {
        Say(L"  malformed reply");
        return false;
    }
    if (reply.ReadPos() != reply.Len())
        Say(L"  %u bytes left over after the last item", (unsigned)(reply.Len() - reply.ReadPos()));
    ShowDevMode(devMode);
    bool ok = ShowImage(L"HKLM", g_hklmPath, hklm);
    return ShowImage(L"HKCU", g_hkcuPath, hkcu) && ok && !devMode.empty() && reply.ReadPos() == reply.Len();
}

// --- the session ------------------------------------------------------------------

bool ShowSession()
{
    if (!WTS_IsActive()) {
        Say(L"session: not an active Remote Desktop session");
        return false;
    }
    CLIENTRECORD client = {};
    WTS_GetClientInfo(&client);
    WCHAR address[64] = L"?";
    if (client.dwFamily)
        InetNtopW((INT)client.dwFamily, client.Address, address, ARRAYSIZE(address));
    Say(L"session %u: active over Remote Desktop, client %s at %s", WTS_GetSessinID(), client.szClientName,
        address);
    return true;
}

bool Exchange()
{
    HANDLE channel = WTSVirtualChannelOpen(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION,
                                           (LPSTR)RDP_CHANNEL_NAME);
    if (!channel) {
        Say(L"channel \"%S\": open failed, error %lu", RDP_CHANNEL_NAME, GetLastError());
        return false;
    }
    Say(L"channel \"%S\": open", RDP_CHANNEL_NAME);
    bool ok = Greet(channel) && AskFileVersion(channel) && FetchProperties(channel);
    WTSVirtualChannelClose(channel);
    Say(L"channel \"%S\": closed", RDP_CHANNEL_NAME);
    return ok;
}

std::wstring SimFolder()
{
    WCHAR exe[MAX_PATH], full[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, ARRAYSIZE(exe));
    PathRemoveFileSpecW(exe);
    PathAppendW(exe, L"..\\..\\x86\\client\\sim\\");
    GetFullPathNameW(exe, ARRAYSIZE(full), full, nullptr);
    return full;
}

// The host double on the library, joined to our end of the link.
bool StartHost(const std::wstring& host, const std::wstring& library, PROCESS_INFORMATION* pi)
{
    WORD port = 0;
    if (!WtsDouble::ListenLink(&port, kServerName))
        return false;
    std::wstring cmd = L"\"" + host + L"\" \"" + library + L"\" " + std::to_wstring(port);
    std::vector<WCHAR> line(cmd.begin(), cmd.end());
    line.push_back(0);
    STARTUPINFOW si = {sizeof si};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, pi))
        return false;
    return WtsDouble::WaitLinkJoined(30000);
}

// Disconnects and waits for the host to unload the add-in; its exit code
// tells whether the add-in left cleanly.
bool EndHost(PROCESS_INFORMATION* pi)
{
    WtsDouble::EndLink();
    DWORD code = 0xDEAD;
    if (WaitForSingleObject(pi->hProcess, 30000) != WAIT_OBJECT_0)
        TerminateProcess(pi->hProcess, code);
    GetExitCodeProcess(pi->hProcess, &code);
    CloseHandle(pi->hProcess);
    CloseHandle(pi->hThread);
    bool active = true;
    for (int i = 0; i < 50 && (active = WTS_IsActive()); i++)
        Sleep(100);
    Say(L"disconnected: client host exit code %lu, session %s", code, active ? L"still active" : L"disconnected");
    return code == 0 && !active;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    std::wstring host = argc > 2 ? argv[1] : SimFolder() + L"qv_rdphost.exe";
    std::wstring library = argc > 2 ? argv[2] : SimFolder() + CLIENT_DLL_NAME;
    if (GetFileAttributesW(host.c_str()) == INVALID_FILE_ATTRIBUTES ||
        GetFileAttributesW(library.c_str()) == INVALID_FILE_ATTRIBUTES) {
        Say(L"missing: %s or %s (build the 32-bit tree first)", host.c_str(), library.c_str());
        return 4;
    }
    g_hInst = GetModuleHandleW(nullptr);
    g_ModuleKind = MODULE_SERVER;
    if (LocateSettingsFiles())
        LogStart(nullptr);
    WtsDouble::SetClientName(L"QV-DEMO-PC");
    const BYTE address[] = {192, 0, 2, 10};
    WtsDouble::SetClientAddress(AF_INET, address, sizeof address);
    SetLogSession(WTS_GetSessinID());

    int rc = 1;
    if (PrepareLocalPc()) {
        PROCESS_INFORMATION pi = {};
        if (!StartHost(host, library, &pi)) {
            Say(L"client host did not join the link");
            rc = 3;
            if (pi.hProcess) {
                TerminateProcess(pi.hProcess, 3);
                CloseHandle(pi.hProcess);
                CloseHandle(pi.hThread);
            }
        } else {
            bool ok = ShowSession() && Exchange();
            rc = EndHost(&pi) && ok ? 0 : 1;
        }
    }
    RemoveLocalPc();
    Say(L"local PC: demo printer and its driver data removed");
    LogEnd();
    return rc;
}
