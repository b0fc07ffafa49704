// Registry operations on a key with a "_backup" sibling: import a registry
// tree image over the key, put the backup back, drop the backup. The server
// module calls them for HKEY_CURRENT_USER, the administrator tool for
// HKEY_LOCAL_MACHINE on the server's behalf. Status: 0, a Windows error code,
// or REG_STATUS_BAD_ARGUMENT.
#pragma once
#include <windows.h>
#include "regimage.h"

#define REG_BACKUP_SUFFIX L"_backup"

// Operation codes of the elevated request (and "op" in the server's log).
#define REG_OP_IMPORT        0
#define REG_OP_DELETE_BACKUP 1
#define REG_OP_RESTORE       2

// Elevated request file: this header, the key path (UTF-16LE with its NUL,
// cbPath bytes), then for REG_OP_IMPORT the registry tree image (cbData bytes).
#pragma pack(push, 1)
struct REGREQUESTHEADER {
    DWORD dwOperation;
    DWORD dwReserved;
    ULONGLONG qwRootKey;   // predefined key handle as a 64-bit value
    DWORD cbPath;          // (characters + 1) * 2
    DWORD cbData;          // image size for REG_OP_IMPORT, else 0
};
#pragma pack(pop)

DWORD ImportReg(HKEY root, LPCWSTR path, const BYTE* image, DWORD size);
DWORD RestoreReg(HKEY root, LPCWSTR path);
DWORD DeleteBackupReg(HKEY root, LPCWSTR path);
// *backedUp (optional) tells whether a backup was made: a key that does not
// exist yet has nothing to back up.
DWORD BackupReg(HKEY root, LPCWSTR path, LPCWSTR backupPath, BOOL* backedUp = nullptr);
// Writes one key record and its value records of an image that
// ValidateRegImage accepted; *consumed grows by the value records' bytes.
DWORD ImportRegKey(HKEY root, LPCWSTR path, const REGKEYRECORD* key,
                   const BYTE* values, const BYTE* image, DWORD* consumed);

// 0 when the image can be applied under path as it stands: sizes, records,
// names and data ranges inside the image, every resulting key path and value
// name within the registry buffers. Else REG_STATUS_BAD_ARGUMENT.
DWORD ValidateRegImage(LPCWSTR path, const BYTE* image, DWORD size);
// A key path these operations accept: not empty, short enough for its backup
// name, no empty component (no leading, trailing or doubled backslash).
BOOL IsValidRegKeyPath(LPCWSTR path);
