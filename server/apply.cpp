#include "apply.h"
#include <stddef.h>
#include <string.h>
#include <winspool.h>
#include <wtsapi32.h>
#include <memory>
#include <new>
#include "drivers.h"
#include "elevate.h"
#include "frame.h"
#include "log.h"
#include "module.h"
#include "raii.h"
#include "rdpcmd.h"
#include "regops.h"
#include "resource.h"
#include "server.h"
#include "watchbox.h"
#include "wtsio.h"

namespace {

const WCHAR kMachinePath[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\%s\\PrinterDriverData";
const WCHAR kUserPath[] = L"Software\\Halvren\\%s\\%s";

// A device mode must at least reach its dmDriverVersion, which the version
// comparison reads, and its own two sizes must describe exactly its bytes.
const DWORD kDevModeMin = offsetof(DEVMODEW, dmDriverVersion) + sizeof(WORD);
const DWORD kDevModeHeader = offsetof(DEVMODEW, dmDriverExtra) + sizeof(WORD);

LPCWSTR RootName(HKEY root)
{
    return root == HKEY_LOCAL_MACHINE ? L"HKEY_LOCAL_MACHINE" : L"HKEY_CURRENT_USER";
}

LPCWSTR OperationName(DWORD op)
{
    switch (op) {
    case REG_OP_IMPORT: return L"ImportReg";
    case REG_OP_DELETE_BACKUP: return L"DeleteBackupReg";
    default: return L"RestoreReg";
    }
}

// Reads the reply's payload from where its read position stands, without
// copying: every size is checked against what is left before it is used.
struct PayloadCursor {
    const BYTE* data;
    DWORD left;
    explicit PayloadCursor(const CRdpData& reply)
        : data(reply.Buffer() ? reply.Buffer() + sizeof(RDPHEADER) + reply.ReadPos() : nullptr),
          left(reply.Buffer() && reply.ReadPos() <= reply.Len() ? reply.Len() - (DWORD)reply.ReadPos() : 0) {}
    // One sized item: its DWORD size, then that many bytes.
    BOOL ReadSized(const BYTE** item, DWORD* size) {
        if (left < sizeof(DWORD))
            return FALSE;
        memcpy(size, data, sizeof(DWORD));
        if (*size > left - sizeof(DWORD))
            return FALSE;
        *item = data + sizeof(DWORD);
        data += sizeof(DWORD) + *size;
        left -= sizeof(DWORD) + *size;
        return TRUE;
    }
};

LPCWSTR CheckDevMode(const BYTE* bytes, DWORD size)
{
    if (size < kDevModeHeader)
        return L"DEVMODE too short";
    WORD dmSize, dmExtra;
    memcpy(&dmSize, bytes + offsetof(DEVMODEW, dmSize), sizeof dmSize);
    memcpy(&dmExtra, bytes + offsetof(DEVMODEW, dmDriverExtra), sizeof dmExtra);
    if (dmSize < kDevModeMin)
        return L"dmSize too small";
    if ((DWORD)dmSize + dmExtra != size)
        return L"dmSize + dmDriverExtra differ from the byte count";
    return nullptr;
}

WORD ClientDriverVersion(const DEVMODEW* devMode)
{
    WORD v;
    memcpy(&v, (const BYTE*)devMode + offsetof(DEVMODEW, dmDriverVersion), sizeof v);
    return v;
}

// Buffers of the version comparison come from a private heap of its own,
// which goes as a whole at the end.
struct ScratchHeap {
    HANDLE heap = LoggedHeapCreate(L"CompareDriverVersion", 0);
    ~ScratchHeap() { if (heap) LoggedHeapDestroy(L"CompareDriverVersion", heap); }
    BYTE* Alloc(DWORD size) { return heap ? (BYTE*)HeapAlloc(heap, HEAP_ZERO_MEMORY, size) : nullptr; }
};

// The server printer's driver version from its PRINTER_INFO_8 device mode.
WORD VersionFromLevel8(HANDLE printer, ScratchHeap& scratch)
{
    static const WCHAR F[] = L"CompareDriverVersion";
    DWORD needed = 0;
    if (GetPrinterW(printer, 8, nullptr, 0, &needed) || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        LogPrintf(LOG_E, F, L",GetPrinter(get PI8 size),error %d", GetLastError());
        return 0;
    }
    BYTE* buf = scratch.Alloc(needed);
    if (!buf || !GetPrinterW(printer, 8, buf, needed, &needed)) {
        LogPrintf(LOG_E, F, L",GetPrinter(get PI8),error %d", buf ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    const DEVMODEW* dm = ((const PRINTER_INFO_8W*)buf)->pDevMode;
    if (!dm) {
        LogPrintf(LOG_W, F, L",DEVMODE in PRINTER_INFO_8,NULL");
        return 0;
    }
    LogPrintf(32, F, L",DEVMODE in PRINTER_INFO_8,OK");
    return dm->dmDriverVersion;
}

// The same from the printer's own default device mode.
WORD VersionFromDocumentProperties(HANDLE printer, LPWSTR name, ScratchHeap& scratch)
{
    static const WCHAR F[] = L"CompareDriverVersion";
    LONG size = DocumentPropertiesW(nullptr, printer, name, nullptr, nullptr, 0);
    if (size < 1) {
        LogPrintf(LOG_E, F, L",DocumentProperties(get DEVMODE size),error %d", GetLastError());
        return 0;
    }
    // Never smaller than a whole DEVMODEW, whatever size the driver reports.
    DWORD cb = (DWORD)size < sizeof(DEVMODEW) ? sizeof(DEVMODEW) : (DWORD)size;
    BYTE* buf = scratch.Alloc(cb);
    if (!buf || DocumentPropertiesW(nullptr, printer, name, (DEVMODEW*)buf, nullptr, DM_OUT_BUFFER) != IDOK) {
        LogPrintf(LOG_E, F, L",DocumentProperties(get DEVMODE),error %d", GetLastError());
        return 0;
    }
    LogPrintf(32, F, L",DocumentProperties(get DEVMODE),OK");
    return ((const DEVMODEW*)buf)->dmDriverVersion;
}

// The properties request for one printer, answered over a channel of its own;
// the request itself stands as the (failed) reply when no channel opens.
CRdpData FetchProperties(LPCWSTR local, LPCWSTR hklm, LPCWSTR hkcu)
{
    CRdpData msg;
    MakeGetPropertiesRequest(msg, local, hklm, hkcu);
    HANDLE channel = WTSVirtualChannelOpen(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, (LPSTR)RDP_CHANNEL_NAME);
    if (!channel) {
        LogPrintf(LOG_E, L"ServerProc", L",WTSVirtualChannelOpen,error %d", GetLastError());
        return msg;
    }
    CRdpData reply = WriteAndReadRDP(channel, msg);
    WTSVirtualChannelClose(channel);
    return reply;
}

void ShowPrinterFailure(LPCWSTR printer)
{
    WCHAR format[512], text[512];
    if (!LoadStringW(g_hInst, IDS_PRINTER_FATAL, format, ARRAYSIZE(format)))
        format[0] = 0;
    FormatStr(text, ARRAYSIZE(text), format, printer);
    WatchMessageBox(text, MB_ICONEXCLAMATION);
}

// FALSE when the entry cannot be asked for: no local name or no PDL identifier.
BOOL PrepareRequest(CPrinterList& list, int i, LPWSTR local, LPWSTR hklm, LPWSTR hkcu)
{
    PRINTERENTRY* entry = list.Entry(i);
    if (!list.CreateLocalName(i, local))
        return FALSE;
    LogPrintf(128, L"ServerProc", L",(SV)%s,(CL)%s", entry->pszName, local);
    return CreateRegKey(hklm, TRUE, entry, local) && CreateRegKey(hkcu, FALSE, entry, local);
}

}  // namespace

int ServerProc(CPrinterList& list)
{
    static const WCHAR F[] = L"ServerProc";
    LogPrintf(LOG_TAG_ENTRY | 128, F, L"");
    NotifyIcon(NI_WORK_BEGIN);
    DWORD now = GetTickCount();
    for (int i = 0; i < list.Count(); i++) {
        if (IsExitSet()) {
            LogPrintf(128, F, L",exit");
            break;
        }
        PRINTERENTRY* entry = list.Entry(i);
        if (!IsDue(entry, now)) {
            if (entry->state == PRINTER_RETRY && entry->nAttempts > 0)
                LogPrintf(32, F, L",%s,retry in %d(msec)", entry->pszName, entry->dwRetryAt - now);
            continue;
        }
        WCHAR local[CCH_LOCAL_NAME], hklm[CCH_REG_KEY], hkcu[CCH_REG_KEY];
        if (!PrepareRequest(list, i, local, hklm, hkcu)) {
            // Nothing was tried: no attempt goes, and the next pass looks again.
            entry->reason = GetLastError() == ERROR_NO_PDL ? REASON_NO_PDL : REASON_NO_LOCAL_NAME;
            entry->state = PRINTER_WAITING;
            LogPrintf(LOG_W, F, L",error on server,%s", entry->pszName);
            continue;
        }
        CRdpData reply = FetchProperties(local, hklm, hkcu);
        if (reply.Res() == RDP_RES_EXIT)
            break;
        SetProperties(entry, reply);
        if (RDP_RES_IS_TRANSPORT(reply.Res()))
            ShowPrinterFailure(entry->pszName);
    }
    NotifyIcon(NI_WORK_END);
    LogPrintf(LOG_TAG_EXIT | 128, F, L"");
    return 0;
}

BOOL CreateRegKey(LPWSTR out, BOOL machine, const PRINTERENTRY* entry, LPCWSTR name)
{
    static const WCHAR F[] = L"CreateRegKey";
    LogPrintf(LOG_TAG_ENTRY, F, L"");
    if (!name)
        name = entry->pszName;
    BOOL ok = TRUE;
    if (machine) {
        FormatStr(out, CCH_REG_KEY, kMachinePath, name);
        LogPrintf(32, F, L",success,,HKEY_LOCAL_MACHINE\\%s", out);
        SetLastError(0);
    } else if (LPCWSTR pdl = GetPDL(entry->pszName)) {
        FormatStr(out, CCH_REG_KEY, kUserPath, pdl, name);
        LogPrintf(32, F, L",success,,HKEY_CURENT_USER\\%s", out);
        SetLastError(0);
    } else {
        out[0] = 0;
        LogPrintf(LOG_E, F, L",%s,GetPDL error", entry->pszName);
        SetLastError(ERROR_NO_PDL);
        ok = FALSE;
    }
    LogPrintf(LOG_TAG_EXIT, F, L"%s", ok ? L"TRUE" : L"FALSE");
    return ok;
}

LPCWSTR ParsePropertiesReply(const CRdpData& reply, const PRINTERENTRY* entry, PROPREPLY* out)
{
    memset(out, 0, sizeof *out);
    PayloadCursor cursor(reply);
    if (!cursor.ReadSized(&out->devMode, &out->cbDevMode))
        return L"DEVMODE size beyond the reply";
    if (out->cbDevMode == 0)
        return nullptr;   // nothing to apply; the caller reports it
    if (LPCWSTR bad = CheckDevMode(out->devMode, out->cbDevMode))
        return bad;
    for (int r = 0; r < 2; r++) {
        if (!cursor.ReadSized(&out->image[r], &out->cbImage[r]))
            return r == 0 ? L"HKLM image size beyond the reply" : L"HKCU image size beyond the reply";
        WCHAR path[CCH_REG_KEY];
        if (out->cbImage[r] == 0)
            continue;
        if (!CreateRegKey(path, r == 0, entry) || ValidateRegImage(path, out->image[r], out->cbImage[r]) != 0)
            return r == 0 ? L"HKLM image malformed" : L"HKCU image malformed";
    }
    if (cursor.left != 0)
        return L"bytes after the last item";
    return nullptr;
}

// Applies a reply that came back RDP_RES_OK; the reason why not, or REASON_NONE.
static PRINTERREASON ApplyReply(PRINTERENTRY* entry, CRdpData& reply, DWORD* error)
{
    static const WCHAR F[] = L"SetProperties";
    PROPREPLY parts;
    LPCWSTR bad = ParsePropertiesReply(reply, entry, &parts);
    if (bad) {
        // Nothing of a reply we cannot read whole goes anywhere near the registry or the spooler.
        LogPrintf(LOG_E, F, L",%s,malformed reply,%s", entry->pszName, bad);
        return REASON_MALFORMED;
    }
    if (parts.cbDevMode == 0) {
        LogPrintf(LOG_W, F, L",%s,No DEVMODE", entry->pszName);
        return REASON_NO_DEVMODE;
    }
    // The device mode goes to the spooler from a buffer of its own, aligned as a DEVMODEW.
    std::unique_ptr<BYTE[]> devMode(new (std::nothrow) BYTE[parts.cbDevMode]);
    if (!devMode) {
        LogPrintf(LOG_E, F, L",%s,HeapAlloc,%d bytes", entry->pszName, parts.cbDevMode);
        return REASON_NO_MEMORY;
    }
    memcpy(devMode.get(), parts.devMode, parts.cbDevMode);
    SetRegAndDEVMODE(entry, (const DEVMODEW*)devMode.get(), parts);
    *error = GetLastError();
    switch (*error) {
    case 0:
        LogPrintf(128, F, L",%s,,COMPLETE", entry->pszName);
        return REASON_NONE;
    case ERROR_ACCESS_DENIED: return REASON_ACCESS_DENIED;
    case ERROR_OLDER_DRIVER: return REASON_OLDER_DRIVER;
    default: return REASON_APPLY_FAILED;
    }
}

void SetProperties(PRINTERENTRY* entry, CRdpData& reply)
{
    static const WCHAR F[] = L"SetProperties";
    LogPrintf(LOG_TAG_ENTRY | 64, F, L",%s", entry->pszName);
    DWORD error = 0;
    PRINTERREASON reason;
    if (reply.Buffer() && reply.Res() == RDP_RES_OK) {
        reason = ApplyReply(entry, reply, &error);
    } else {
        reason = RDP_RES_IS_TRANSPORT(reply.Res()) ? REASON_CHANNEL : REASON_NO_REPLY;
        error = reply.Res();
    }
    DWORD now = GetTickCount();
    if (SetOutcome(entry, reason, error, now))
        LogPrintf(LOG_W, F, L",%s,retry END", entry->pszName);
    else if (entry->state == PRINTER_RETRY)
        LogPrintf(64, F, L",%s,retry last %d,in %d(msec)", entry->pszName, entry->nAttempts, entry->dwRetryAt - now);
    LogPrintf(LOG_TAG_EXIT | 64, F, L",%s", entry->pszName);
}

BOOL SetRegAndDEVMODE(PRINTERENTRY* entry, const DEVMODEW* devMode, const PROPREPLY& reply)
{
    static const WCHAR F[] = L"SetRegAndDEVMODE";
    LogScope scope(F, 64);
    if (!CompareDriverVersion(entry, devMode))
        return FALSE;
    // A backup still there when the import starts would be taken for the
    // last good state of an unfinished import.
    DropAppliedBackup(entry);
    WORD flags = RegOperation(entry, REG_OP_IMPORT, REGF_HKLM | REGF_HKCU, &reply);
    if (!(flags & REGF_FAILED))
        SetDEVMODE(entry, devMode);
    DWORD e = GetLastError();
    // The root whose import failed is put back too: its import may have ended
    // half-way (the administrator tool killed between its writes), and no
    // later pass may come to finish it.
    WORD touched = flags & (REGF_HKLM | REGF_HKCU);
    if (flags & REGF_FAILED)
        touched |= (flags & REGF_HKLM) ? REGF_HKCU : REGF_HKLM;
    if (e) {
        RegOperation(entry, REG_OP_RESTORE, touched, nullptr);
    } else {
        // The machine root's backup costs another start of the administrator
        // tool where there is no service: it waits until no pass is due, so
        // that the printers of a burst are applied first.
        RegOperation(entry, REG_OP_DELETE_BACKUP, touched & REGF_HKCU, nullptr);
        entry->bHklmBackup = (touched & REGF_HKLM) != 0;
    }
    SetLastError(e);
    return e == 0;
}

void DropAppliedBackup(PRINTERENTRY* entry)
{
    if (!entry->bHklmBackup)
        return;
    entry->bHklmBackup = FALSE;
    RegOperation(entry, REG_OP_DELETE_BACKUP, REGF_HKLM, nullptr);
}

BOOL DropOneAppliedBackup(CPrinterList& list)
{
    for (int i = 0; i < list.Count(); i++) {
        if (list.Entry(i)->bHklmBackup) {
            DropAppliedBackup(list.Entry(i));
            return TRUE;
        }
    }
    return FALSE;
}

void DropAppliedBackups(CPrinterList& list)
{
    for (int i = 0; i < list.Count(); i++)
        DropAppliedBackup(list.Entry(i));
}

BOOL CompareDriverVersion(const PRINTERENTRY* entry, const DEVMODEW* devMode)
{
    static const WCHAR F[] = L"CompareDriverVersion";
    LogPrintf(LOG_TAG_ENTRY, F, L",%s", entry->pszName);
    UniquePrinter printer;
    if (!OpenPrinterW(entry->pszName, printer.put(), nullptr)) {
        DWORD e = GetLastError();
        LogPrintf(LOG_E, F, L",OpenPrinter,error %d", e);
        LogPrintf(LOG_TAG_EXIT, F, L"FALSE");
        SetLastError(e);
        return FALSE;
    }
    WORD sv;
    {
        ScratchHeap scratch;
        sv = VersionFromLevel8(printer.get(), scratch);
        if (sv == 0)
            sv = VersionFromDocumentProperties(printer.get(), entry->pszName, scratch);
    }
    WORD cl = ClientDriverVersion(devMode);
    DWORD code;
    if (sv != 0) {
        LogPrintf(128, F, L",%s,SV=%04Xh CL=%04Xh", entry->pszName, sv, cl);
        code = sv < cl ? ERROR_OLDER_DRIVER : 0;
    } else {
        LogPrintf(LOG_E, F, L",No DEVMODE");
        code = ERROR_NO_DEVMODE;
    }
    printer.reset();
    LogPrintf(LOG_TAG_EXIT, F, L"%s", code ? L"FALSE" : L"TRUE");
    SetLastError(code);
    return code == 0;
}

WORD RegOperation(const PRINTERENTRY* entry, DWORD op, WORD flags, const PROPREPLY* reply)
{
    static const WCHAR F[] = L"RegOperation";
    LogPrintf(LOG_TAG_ENTRY | 32, F, L"op(%d) wFlags(%X)", op, flags);
    WORD result = 0;
    if (flags & REGF_HKLM)
        result = RegOperationHKEY(entry, op, HKEY_LOCAL_MACHINE, reply) ? REGF_HKLM : REGF_FAILED;
    if (!(result & REGF_FAILED) && (flags & REGF_HKCU))
        result |= RegOperationHKEY(entry, op, HKEY_CURRENT_USER, reply) ? REGF_HKCU : REGF_FAILED;
    LogPrintf(LOG_TAG_EXIT | 32, F, L"wRet(%X)", result);
    return result;
}

static DWORD RunOperation(DWORD op, HKEY root, LPCWSTR path, const BYTE* image, DWORD size)
{
    if (root == HKEY_LOCAL_MACHINE)
        return RunElevatedRegOperation(op, root, path, op == REG_OP_IMPORT ? image : nullptr, size);
    switch (op) {
    case REG_OP_IMPORT: return ImportReg(root, path, image, size);
    case REG_OP_DELETE_BACKUP: return DeleteBackupReg(root, path);
    default: return RestoreReg(root, path);
    }
}

BOOL RegOperationHKEY(const PRINTERENTRY* entry, DWORD op, HKEY root, const PROPREPLY* reply)
{
    static const WCHAR F[] = L"RegOperationHKEY";
    LogPrintf(LOG_TAG_ENTRY, F, L",%s", entry->pszName);
    WCHAR path[CCH_REG_KEY];
    if (!CreateRegKey(path, root == HKEY_LOCAL_MACHINE, entry)) {
        LogPrintf(LOG_TAG_EXIT, F, L"FALSE");
        SetLastError(ERROR_NO_PDL);
        return FALSE;
    }
    int r = root == HKEY_LOCAL_MACHINE ? 0 : 1;
    const BYTE* image = reply ? reply->image[r] : nullptr;
    DWORD size = reply ? reply->cbImage[r] : 0;
    DWORD status;
    if (op == REG_OP_IMPORT && size == 0)
        status = ERROR_NO_REG_DATA;
    else
        status = RunOperation(op, root, path, image, size);
    LPCWSTR name = OperationName(op);
    if (status == 0)
        LogPrintf(64, F, L",%s,%s success,%s\\%s", entry->pszName, name, RootName(root), path);
    else if (status == ERROR_NO_REG_DATA)
        LogPrintf(LOG_W, F, L",%s,%s no data,%s\\%s", entry->pszName, name, RootName(root), path);
    else
        LogPrintf(LOG_E, F, L",%s,%s error %d,%s\\%s", entry->pszName, name, status, RootName(root), path);
    BOOL ok = status == 0 || status == ERROR_NO_REG_DATA;
    LogPrintf(LOG_TAG_EXIT, F, L"%s", ok ? L"TRUE" : L"FALSE");
    SetLastError(status);
    return ok;
}

BOOL SetDEVMODE(const PRINTERENTRY* entry, const DEVMODEW* devMode)
{
    static const WCHAR F[] = L"SetDEVMODE";
    LogScope scope(F);
    UniquePrinter printer;
    DWORD e = 0;
    if (!OpenPrinterW(entry->pszName, printer.put(), nullptr)) {
        e = GetLastError();
        LogPrintf(LOG_E, F, L",%s,OpenPrinter,error %d", entry->pszName, e);
    } else {
        PRINTER_INFO_9W info = {};
        info.pDevMode = (DEVMODEW*)devMode;
        if (!SetPrinterW(printer.get(), 9, (BYTE*)&info, 0)) {
            e = GetLastError();
            LogPrintf(LOG_E, F, L",%s,set PI9,error %d", entry->pszName, e);
        }
        printer.reset();
    }
    SetLastError(e);
    return e == 0;
}
