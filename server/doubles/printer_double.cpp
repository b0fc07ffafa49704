// Replaces the spooler functions the server module calls, at link time.
// A simulation process lists its printers in the settings file named in the
// environment variable QVSIM, section [Printers]: one value per printer,
// "name|driver|attributes|driver version". A printer redirected while the
// process runs arrives as such a line in the file "<settings file>.arrive"
// (a file, not a key: a process that wrote the settings file itself may keep
// reading its own cached copy of it); lines already known are skipped, so the
// file also stands for printers redirected before a restart. Added printers
// signal the change notifications open at the time.
#include "printer_double.h"
#include <winspool.h>
#include <sddl.h>
#include "simlink.h"
#include <string>
#include <vector>
#include <string.h>
#include <wchar.h>

namespace {

struct Printer {
    std::wstring name, driver;
    DWORD attributes = 0;
    PrinterDouble::Bytes devMode, level9;
    bool hasLevel9 = false;
    DWORD openError = 0, getError = 0, setError = 0;
    // Level 3, self-relative; everyone may use the printer unless a test says otherwise.
    PrinterDouble::Bytes security;
};

struct Notify {
    HANDLE event;   // manual-reset: what the caller waits on
    DWORD pending;  // PRINTER_CHANGE_* flags since the last FindNext
    bool names;     // asked for the printers' names (PRINTER_NOTIFY_OPTIONS)
    std::vector<std::wstring> changed;   // their names since the last FindNext
};

struct State {
    CRITICAL_SECTION cs;
    std::vector<Printer> printers;
    std::vector<Notify> notifies;
    DWORD enumError = 0, notifyError = 0;
    int nextFailures = 0;
    int handles = 0;
    bool loaded = false;
    bool watching = false;   // the simulation's arrivals are watched
    State() { InitializeCriticalSection(&cs); }
};

State& S()
{
    static State s;
    return s;
}

struct Lock {
    Lock() { EnterCriticalSection(&S().cs); }
    ~Lock() { LeaveCriticalSection(&S().cs); }
};

struct PrinterHandle {
    DWORD magic;
    size_t index;
};
const DWORD HANDLE_MAGIC = 0x50524E54;
const size_t SERVER_INDEX = (size_t)-1;   // the local print server, opened with no name

void Signal(DWORD change, const std::wstring& name)
{
    for (auto& n : S().notifies) {
        n.pending |= change;
        if (n.names)
            n.changed.push_back(name);
        SetEvent(n.event);
    }
}

// The spooler's answer for the names: one block that FreePrinterNotifyInfo
// releases, the strings behind the records.
PRINTER_NOTIFY_INFO* MakeInfo(const std::vector<std::wstring>& names)
{
    size_t count = names.empty() ? 1 : names.size();
    size_t size = sizeof(PRINTER_NOTIFY_INFO) + (count - 1) * sizeof(PRINTER_NOTIFY_INFO_DATA);
    size_t strings = size;
    for (const auto& n : names)
        size += (n.size() + 1) * sizeof(WCHAR);
    auto* info = (PRINTER_NOTIFY_INFO*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size);
    if (!info)
        return nullptr;
    info->Version = 2;
    info->Count = (DWORD)names.size();
    BYTE* at = (BYTE*)info + strings;
    for (size_t i = 0; i < names.size(); i++) {
        PRINTER_NOTIFY_INFO_DATA& d = info->aData[i];
        d.Type = PRINTER_NOTIFY_TYPE;
        d.Field = PRINTER_NOTIFY_FIELD_PRINTER_NAME;
        d.Id = (DWORD)i;
        d.NotifyData.Data.cbBuf = (DWORD)((names[i].size() + 1) * sizeof(WCHAR));
        d.NotifyData.Data.pBuf = memcpy(at, names[i].c_str(), d.NotifyData.Data.cbBuf);
        at += d.NotifyData.Data.cbBuf;
    }
    return info;
}

Printer ParsePrinterLine(LPCWSTR line)
{
    std::wstring f[4];
    int field = 0;
    for (LPCWSTR p = line; *p; p++) {
        if (*p == L'|' && field < 3)
            field++;
        else
            f[field] += *p;
    }
    Printer pr;
    pr.name = f[0];
    pr.driver = f[1];
    pr.attributes = wcstoul(f[2].c_str(), nullptr, 0);
    WORD version = (WORD)wcstoul(f[3].c_str(), nullptr, 0);
    if (version)
        pr.devMode = PrinterDouble::MakeDevMode(pr.name.c_str(), version);
    return pr;
}

bool Known(const std::wstring& name)
{
    for (auto& p : S().printers)
        if (p.name == name)
            return true;
    return false;
}

BOOL ArrivalFile(LPWSTR path /* MAX_PATH + 8 */)
{
    WCHAR ini[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"QVSIM", ini, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return FALSE;
    if (path)
        wsprintfW(path, L"%s.arrive", ini);
    return TRUE;
}

// Takes in the printers of the arrival file not known yet (lock held).
void LoadSimulationPrinters();

void PickUpArrivals()
{
    WCHAR path[MAX_PATH + 8];
    if (!ArrivalFile(path))
        return;
    LoadSimulationPrinters();   // the settings file's printers first
    HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return;
    char text[8192];
    DWORD got = 0;
    BOOL ok = ReadFile(f, text, sizeof text - 1, &got, nullptr);
    CloseHandle(f);
    if (!ok)
        return;
    text[got] = 0;
    WCHAR wide[8192];
    int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, ARRAYSIZE(wide));
    if (n <= 0)
        return;
    for (LPWSTR line = wide; *line;) {
        LPWSTR end = line + wcscspn(line, L"\r\n");
        bool last = *end == 0;
        *end = 0;
        Printer pr = ParsePrinterLine(line);
        if (!pr.name.empty() && !Known(pr.name)) {
            S().printers.push_back(pr);
            Signal(PRINTER_CHANGE_ADD_PRINTER, pr.name);
        }
        line = last ? end : end + 1;
    }
}

// Other sessions' printers: the spooler tells every session of them, and
// enumerates them to none but their own. A simulation names them, one a
// line, in the file of QVSIM_SPOOLER, which every session of a run shares.
void PickUpOthers()
{
    static size_t seen = 0;   // bytes of the file already told of
    WCHAR path[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"QVSIM_SPOOLER", path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return;
    HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return;
    std::string text;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(f, buf, sizeof buf, &got, nullptr) && got)
        text.append(buf, got);
    CloseHandle(f);
    size_t done = text.rfind('\n');   // whole lines only
    if (done == std::string::npos || done + 1 <= seen)
        return;
    for (size_t at = seen; at < done + 1;) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end - at);
        at = end + 1;
        WCHAR wide[512];
        int w = MultiByteToWideChar(CP_UTF8, 0, line.c_str(), (int)line.size(), wide, ARRAYSIZE(wide) - 1);
        if (w <= 0)
            continue;
        wide[w] = 0;
        if (!Known(wide))
            Signal(PRINTER_CHANGE_ADD_PRINTER, wide);
    }
    seen = done + 1;
}

// Arrivals come as the spooler tells of a printer that a client redirects.
void CheckArrivals()
{
    Lock lock;
    PickUpArrivals();
    PickUpOthers();
}

void LoadSimulationPrinters()
{
    if (S().loaded)
        return;
    S().loaded = true;
    // A simulation's file, or one that names printers only (QV_SIM_SPOOLER:
    // a tool started by a test, whose own doubles must not see a session).
    WCHAR ini[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"QVSIM", ini, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        n = GetEnvironmentVariableW(L"QV_SIM_SPOOLER", ini, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return;
    std::vector<WCHAR> keys(32767);
    GetPrivateProfileStringW(L"Printers", nullptr, L"", keys.data(), (DWORD)keys.size(), ini);
    for (LPCWSTR key = keys.data(); *key; key += wcslen(key) + 1) {
        WCHAR line[2048];
        GetPrivateProfileStringW(L"Printers", key, L"", line, ARRAYSIZE(line), ini);
        Printer pr = ParsePrinterLine(line);
        if (!Known(pr.name))
            S().printers.push_back(pr);
    }
    PickUpArrivals();
}

Printer* FindKnown(LPCWSTR name)
{
    for (auto& p : S().printers)
        if (name && p.name == name)
            return &p;
    return nullptr;
}

// A process that never enumerates (the service) still finds a printer
// redirected after its first look.
Printer* Find(LPCWSTR name)
{
    LoadSimulationPrinters();
    Printer* p = FindKnown(name);
    if (!p && ArrivalFile(nullptr)) {
        PickUpArrivals();
        p = FindKnown(name);
    }
    return p;
}

Printer* FromHandle(HANDLE h)
{
    auto* ph = (PrinterHandle*)h;
    if (!ph || ph->magic != HANDLE_MAGIC || ph->index >= S().printers.size()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return &S().printers[ph->index];
}

bool IsServerHandle(HANDLE h)
{
    auto* ph = (PrinterHandle*)h;
    return ph && ph->magic == HANDLE_MAGIC && ph->index == SERVER_INDEX;
}

// A simulation publishes each device mode set through level 9 in its
// settings file, [Level9] printer = hex bytes, for the script that checks it.
void PublishLevel9(const Printer& pr)
{
    WCHAR ini[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"QVSIM", ini, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return;
    static const WCHAR digits[] = L"0123456789ABCDEF";
    std::wstring hex;
    for (BYTE b : pr.level9) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    WritePrivateProfileStringW(L"Level9", pr.name.c_str(), hex.c_str(), ini);
}

const PrinterDouble::Bytes& EveryoneMayUse()
{
    static PrinterDouble::Bytes bytes;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ULONG size = 0;
    if (bytes.empty() && ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:SYG:SYD:(A;;0x8;;;WD)",
                                                                             SDDL_REVISION_1, &sd, &size)) {
        bytes.assign((BYTE*)sd, (BYTE*)sd + size);
        LocalFree(sd);
    }
    return bytes;
}

// Lays out fixed records followed by their strings and device modes, as the
// spooler does; `need` is the size whether or not the buffer is big enough.
struct Packer {
    BYTE* buf;
    DWORD cb, fixed, tail;
    DWORD need;
    Packer(BYTE* b, DWORD c, DWORD fixedSize) : buf(b), cb(c), fixed(fixedSize), tail(fixedSize), need(fixedSize) {}
    bool Fits() const { return buf && need <= cb; }
    void* Put(const void* data, DWORD size) {
        DWORD at = (tail + 7) & ~7u;
        need = at + size;
        tail = need;
        return Fits() ? memcpy(buf + at, data, size) : nullptr;
    }
    LPWSTR PutString(const std::wstring& s) {
        return (LPWSTR)Put(s.c_str(), (DWORD)(s.size() + 1) * sizeof(WCHAR));
    }
    DEVMODEW* PutDevMode(const PrinterDouble::Bytes& dm) {
        return dm.empty() ? nullptr : (DEVMODEW*)Put(dm.data(), (DWORD)dm.size());
    }
};

// Sizes first, then the copy: a second pass with the final layout.
template <typename Fill>
BOOL Pack(BYTE* buf, DWORD cb, DWORD fixedSize, LPDWORD needed, Fill fill)
{
    Packer measure(nullptr, 0, fixedSize);
    fill(measure);
    *needed = measure.need;
    if (measure.need == 0)
        return TRUE;
    if (!buf || cb < measure.need) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memset(buf, 0, fixedSize);
    Packer real(buf, cb, fixedSize);
    fill(real);
    return TRUE;
}

// A simulation whose settings file says [Spooler] Hang=1 has a print
// server that never answers its handle being opened: the watch thread stays
// in its pass for good, as behind a spooler call that does not return.
bool SpoolerHangs()
{
    WCHAR ini[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"QVSIM", ini, MAX_PATH);
    return n > 0 && n < MAX_PATH && GetPrivateProfileIntW(L"Spooler", L"Hang", 0, ini) != 0;
}

}  // namespace

extern "C" {

BOOL WINAPI EnumPrintersW(DWORD, LPWSTR, DWORD level, LPBYTE buf, DWORD cb, LPDWORD needed, LPDWORD returned)
{
    Lock lock;
    LoadSimulationPrinters();
    PickUpArrivals();
    *needed = 0;
    *returned = 0;
    if (S().enumError) {
        SetLastError(S().enumError);
        return FALSE;
    }
    if (level != 4) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    auto& printers = S().printers;
    DWORD fixed = (DWORD)(printers.size() * sizeof(PRINTER_INFO_4W));
    BOOL ok = Pack(buf, cb, fixed, needed, [&](Packer& p) {
        for (size_t i = 0; i < printers.size(); i++) {
            LPWSTR name = p.PutString(printers[i].name);
            if (p.Fits()) {
                auto* info = (PRINTER_INFO_4W*)p.buf + i;
                info->pPrinterName = name;
                info->Attributes = printers[i].attributes;
            }
        }
    });
    if (ok)
        *returned = (DWORD)printers.size();
    return ok;
}

BOOL WINAPI OpenPrinterW(LPWSTR name, LPHANDLE handle, LPPRINTER_DEFAULTSW)
{
    if (!name && SpoolerHangs())
        Sleep(INFINITE);
    Lock lock;
    *handle = nullptr;
    if (!name) {
        *handle = (HANDLE) new PrinterHandle{HANDLE_MAGIC, SERVER_INDEX};
        S().handles++;
        return TRUE;
    }
    Printer* p = Find(name);
    if (!p || p->openError) {
        SetLastError(p ? p->openError : ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    *handle = (HANDLE) new PrinterHandle{HANDLE_MAGIC, (size_t)(p - S().printers.data())};
    S().handles++;
    return TRUE;
}

BOOL WINAPI ClosePrinter(HANDLE h)
{
    Lock lock;
    if (!IsServerHandle(h) && !FromHandle(h))
        return FALSE;
    ((PrinterHandle*)h)->magic = 0;
    delete (PrinterHandle*)h;
    S().handles--;
    return TRUE;
}

BOOL WINAPI GetPrinterW(HANDLE h, DWORD level, LPBYTE buf, DWORD cb, LPDWORD needed)
{
    Lock lock;
    Printer* pr = FromHandle(h);
    *needed = 0;
    if (!pr)
        return FALSE;
    if (pr->getError) {
        SetLastError(pr->getError);
        return FALSE;
    }
    switch (level) {
    case 2:
        return Pack(buf, cb, sizeof(PRINTER_INFO_2W), needed, [&](Packer& p) {
            LPWSTR name = p.PutString(pr->name);
            LPWSTR driver = p.PutString(pr->driver);
            DEVMODEW* dm = p.PutDevMode(pr->devMode);
            if (p.Fits()) {
                auto* info = (PRINTER_INFO_2W*)p.buf;
                info->pPrinterName = name;
                info->pDriverName = driver;
                info->pDevMode = dm;
                info->Attributes = pr->attributes;
            }
        });
    case 3:
        return Pack(buf, cb, sizeof(PRINTER_INFO_3), needed, [&](Packer& p) {
            const PrinterDouble::Bytes& bytes = pr->security.empty() ? EveryoneMayUse() : pr->security;
            void* sd = p.Put(bytes.data(), (DWORD)bytes.size());
            if (p.Fits())
                ((PRINTER_INFO_3*)p.buf)->pSecurityDescriptor = sd;
        });
    case 8:
    case 9: {
        const auto& dm = level == 8 ? pr->devMode : pr->level9;
        return Pack(buf, cb, sizeof(PRINTER_INFO_8W), needed, [&](Packer& p) {
            DEVMODEW* copy = p.PutDevMode(dm);
            if (p.Fits())
                ((PRINTER_INFO_8W*)p.buf)->pDevMode = copy;
        });
    }
    default:
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
}

BOOL WINAPI SetPrinterW(HANDLE h, DWORD level, LPBYTE buf, DWORD)
{
    Lock lock;
    Printer* pr = FromHandle(h);
    if (!pr)
        return FALSE;
    if (level != 9 || !buf) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (pr->setError) {
        SetLastError(pr->setError);
        return FALSE;
    }
    const DEVMODEW* dm = ((PRINTER_INFO_9W*)buf)->pDevMode;
    if (!dm) {
        pr->level9.clear();
        pr->hasLevel9 = false;
        return TRUE;
    }
    const BYTE* p = (const BYTE*)dm;
    pr->level9.assign(p, p + dm->dmSize + dm->dmDriverExtra);
    pr->hasLevel9 = true;
    PublishLevel9(*pr);
    return TRUE;
}

LONG WINAPI DocumentPropertiesW(HWND, HANDLE h, LPWSTR, PDEVMODEW out, PDEVMODEW, DWORD mode)
{
    Lock lock;
    Printer* pr = FromHandle(h);
    if (!pr || pr->devMode.empty()) {
        if (pr)
            SetLastError(ERROR_INVALID_DATA);
        return -1;
    }
    if (mode == 0)
        return (LONG)pr->devMode.size();
    if ((mode & DM_OUT_BUFFER) && out)
        memcpy(out, pr->devMode.data(), pr->devMode.size());
    return IDOK;
}

HANDLE WINAPI FindFirstPrinterChangeNotification(HANDLE h, DWORD, DWORD, LPVOID options)
{
    Lock lock;
    if (!IsServerHandle(h) || S().notifyError) {
        SetLastError(S().notifyError ? S().notifyError : ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!event)
        return INVALID_HANDLE_VALUE;
    S().notifies.push_back(Notify{event, 0, options != nullptr, {}});
    if (!S().watching && ArrivalFile(nullptr)) {
        S().watching = true;
        SimWatchSettingsFolder(CheckArrivals);
    }
    return event;
}

BOOL WINAPI FindNextPrinterChangeNotification(HANDLE h, PDWORD change, LPVOID, LPVOID* info)
{
    Lock lock;
    for (auto& n : S().notifies) {
        if (n.event != h)
            continue;
        if (S().nextFailures > 0) {
            S().nextFailures--;
            SetLastError(ERROR_INVALID_HANDLE);   // as after a spooler restart
            return FALSE;
        }
        ResetEvent(n.event);
        if (change)
            *change = n.pending;
        if (info)
            *info = n.names ? MakeInfo(n.changed) : nullptr;
        n.pending = 0;
        n.changed.clear();
        return TRUE;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL WINAPI FreePrinterNotifyInfo(PPRINTER_NOTIFY_INFO info)
{
    return HeapFree(GetProcessHeap(), 0, info);
}

BOOL WINAPI FindClosePrinterChangeNotification(HANDLE h)
{
    Lock lock;
    auto& v = S().notifies;
    for (size_t i = 0; i < v.size(); i++) {
        if (v[i].event == h) {
            CloseHandle(h);
            v.erase(v.begin() + (long)i);
            return TRUE;
        }
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

}  // extern "C"

namespace PrinterDouble {

void Reset()
{
    Lock lock;
    S().printers.clear();
    S().enumError = 0;
    S().notifyError = 0;
    S().nextFailures = 0;
    S().loaded = true;   // a test's own set replaces any simulation file
}

Bytes MakeDevMode(LPCWSTR deviceName, WORD driverVersion, WORD extra, BYTE fill)
{
    Bytes b(sizeof(DEVMODEW) + extra, fill);
    DEVMODEW dm = {};
    lstrcpynW(dm.dmDeviceName, deviceName, CCHDEVICENAME);
    dm.dmSpecVersion = DM_SPECVERSION;
    dm.dmDriverVersion = driverVersion;
    dm.dmSize = sizeof(DEVMODEW);
    dm.dmDriverExtra = extra;
    memcpy(b.data(), &dm, sizeof dm);
    return b;
}

void Add(LPCWSTR name, LPCWSTR driver, DWORD attributes, const Bytes& devMode)
{
    Lock lock;
    Printer p;
    p.name = name;
    p.driver = driver;
    p.attributes = attributes;
    p.devMode = devMode;
    S().printers.push_back(p);
    Signal(PRINTER_CHANGE_ADD_PRINTER, p.name);
}

void AddOtherSession(LPCWSTR name)
{
    Lock lock;
    Signal(PRINTER_CHANGE_ADD_PRINTER, name);
}

void SetDriver(LPCWSTR name, LPCWSTR driver, const Bytes& devMode)
{
    Lock lock;
    if (Printer* p = Find(name)) {
        p->driver = driver;
        p->devMode = devMode;
        Signal(PRINTER_CHANGE_SET_PRINTER, p->name);
    }
}

void FailNotify(DWORD error) { Lock lock; S().notifyError = error; }
void FailNextNotify(int calls) { Lock lock; S().nextFailures = calls; }
int OpenNotifications() { Lock lock; return (int)S().notifies.size(); }

void FailEnum(DWORD error) { Lock lock; S().enumError = error; }

void FailOpen(LPCWSTR name, DWORD error)
{
    Lock lock;
    if (Printer* p = Find(name))
        p->openError = error;
}

void FailGetPrinter(LPCWSTR name, DWORD error)
{
    Lock lock;
    if (Printer* p = Find(name))
        p->getError = error;
}

void FailSetLevel9(LPCWSTR name, DWORD error)
{
    Lock lock;
    if (Printer* p = Find(name))
        p->setError = error;
}

bool GetLevel9(LPCWSTR name, Bytes* devMode)
{
    Lock lock;
    Printer* p = Find(name);
    if (!p || !p->hasLevel9)
        return false;
    *devMode = p->level9;
    return true;
}

int OpenHandles() { Lock lock; return S().handles; }

bool SetSecurity(LPCWSTR name, LPCWSTR sddl)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    ULONG size = 0;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, &size))
        return false;
    Lock lock;
    Printer* p = Find(name);
    if (p)
        p->security.assign((BYTE*)sd, (BYTE*)sd + size);
    LocalFree(sd);
    return p != nullptr;
}

}  // namespace PrinterDouble
