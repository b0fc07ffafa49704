// Applying a local printer's settings to its redirected printer on the
// server: the driver's registry data under both roots and the user's device
// mode, with backups that are restored when a later step fails.
#pragma once
#include <windows.h>
#include "printerlist.h"
#include "rdpdata.h"

#define ERROR_OLDER_DRIVER 0x10000001   // server driver older than the local PC's
#define ERROR_NO_DEVMODE   0x10000002   // no device mode for the server printer
#define ERROR_NO_PDL       0x10000003   // the printer's driver has no PDL identifier
#define ERROR_NO_REG_DATA  0x10000004   // the reply holds no data for a key (a success)

// Registry operation flags ("wFlags"/"wRet" in the log).
#define REGF_HKLM    0x0001
#define REGF_HKCU    0x0002
#define REGF_FAILED  0x8000

#define CCH_REG_KEY  1024

// A properties reply after its sizes were checked: pointers into the reply.
struct PROPREPLY {
    const BYTE* devMode;
    DWORD cbDevMode;
    const BYTE* image[2];   // [0] HKEY_LOCAL_MACHINE, [1] HKEY_CURRENT_USER
    DWORD cbImage[2];
};

int ServerProc(CPrinterList& list);
// Key path of the entry's printer (or of `name`) under the machine or the
// user root; FALSE with ERROR_NO_PDL when the driver has no PDL identifier.
BOOL CreateRegKey(LPWSTR out /* CCH_REG_KEY */, BOOL machine, const PRINTERENTRY* entry, LPCWSTR name = nullptr);
void SetProperties(PRINTERENTRY* entry, CRdpData& reply);
BOOL SetRegAndDEVMODE(PRINTERENTRY* entry, const DEVMODEW* devMode, const PROPREPLY& reply);
// An applied printer's HKEY_LOCAL_MACHINE backup is dropped later than its
// user root's (SetRegAndDEVMODE): the entry's own, the first of the list
// (FALSE when none is left), or all of them before the list forgets them.
void DropAppliedBackup(PRINTERENTRY* entry);
BOOL DropOneAppliedBackup(CPrinterList& list);
void DropAppliedBackups(CPrinterList& list);
BOOL CompareDriverVersion(const PRINTERENTRY* entry, const DEVMODEW* devMode);
WORD RegOperation(const PRINTERENTRY* entry, DWORD op, WORD flags, const PROPREPLY* reply);
BOOL RegOperationHKEY(const PRINTERENTRY* entry, DWORD op, HKEY root, const PROPREPLY* reply);
BOOL SetDEVMODE(const PRINTERENTRY* entry, const DEVMODEW* devMode);

// Checks every size in a properties reply against what arrived, the device
// mode's own sizes against its byte count, and each registry image against
// the key it will be applied under. Reads from the reply's read position
// on, without moving it.
// NULL when the reply may be applied, else the reason.
LPCWSTR ParsePropertiesReply(const CRdpData& reply, const PRINTERENTRY* entry, PROPREPLY* out);
