#include "regops.h"
#include "log.h"
#include "module.h"
#include "raii.h"
#include <string.h>
#include <wchar.h>

// Longest key path whose backup name still fits the 256-character buffers.
static const size_t kMaxKeyPath = CCH_REG_KEY_PATH - 1 - (sizeof(REG_BACKUP_SUFFIX) / sizeof(WCHAR) - 1);
static const size_t kMaxName = CCH_REG_KEY_PATH - 1;

static BOOL HasEmptyComponent(LPCWSTR path, size_t len)
{
    if (len == 0 || path[0] == L'\\' || path[len - 1] == L'\\')
        return TRUE;
    return wcsstr(path, L"\\\\") != nullptr;
}

static BOOL IsKeyPathWithin(LPCWSTR path, size_t maxChars)
{
    if (!path)
        return FALSE;
    size_t len = wcsnlen(path, maxChars + 1);
    return len <= maxChars && !HasEmptyComponent(path, len);
}

BOOL IsValidRegKeyPath(LPCWSTR path)
{
    return IsKeyPathWithin(path, kMaxKeyPath);
}

static BOOL MakeBackupPath(LPCWSTR path, LPWSTR backup /* CCH_REG_KEY_PATH */)
{
    if (!IsValidRegKeyPath(path))
        return FALSE;
    FormatStr(backup, CCH_REG_KEY_PATH, L"%s%s", path, REG_BACKUP_SUFFIX);
    return TRUE;
}

// A record's name of cbName bytes at pos: either absent (0) or a NUL-terminated
// string of at most maxChars characters with no NUL before its end.
static BOOL CheckName(const BYTE* image, DWORD size, DWORD pos, DWORD cbName, size_t maxChars)
{
    if (cbName == 0)
        return TRUE;
    if (cbName % 2 || cbName < 4 || cbName > size - pos)
        return FALSE;
    DWORD chars = cbName / 2 - 1;
    if (chars > maxChars)
        return FALSE;
    const WCHAR* name = (const WCHAR*)(image + pos);
    return name[chars] == 0 && wcsnlen(name, chars) == chars;
}

DWORD ValidateRegImage(LPCWSTR path, const BYTE* image, DWORD size)
{
    LogScope scope(L"ValidateRegImage");
    if (!image || size < sizeof(REGIMAGEHEADER) || !IsValidRegKeyPath(path))
        return REG_STATUS_BAD_ARGUMENT;
    const REGIMAGEHEADER* header = (const REGIMAGEHEADER*)image;
    if (header->dwTotalSize != size || header->dwKeys == 0)
        return REG_STATUS_BAD_ARGUMENT;
    size_t pathLength = wcslen(path);
    // Relative paths join the import path with a backslash.
    size_t maxRelative = kMaxName - pathLength - 1;
    DWORD pos = sizeof(REGIMAGEHEADER), values = 0, names = 0;
    for (DWORD k = 0; k < header->dwKeys; k++) {
        if (size - pos < sizeof(REGKEYRECORD))
            return REG_STATUS_BAD_ARGUMENT;
        const REGKEYRECORD* key = (const REGKEYRECORD*)(image + pos);
        pos += sizeof(REGKEYRECORD);
        if (!CheckName(image, size, pos, key->cbName, maxRelative))
            return REG_STATUS_BAD_ARGUMENT;
        if (key->cbName && HasEmptyComponent((const WCHAR*)(image + pos), key->cbName / 2 - 1))
            return REG_STATUS_BAD_ARGUMENT;
        pos += key->cbName;
        names += key->cbName;
        for (DWORD v = 0; v < key->dwValues; v++) {
            if (size - pos < sizeof(REGVALUERECORD))
                return REG_STATUS_BAD_ARGUMENT;
            const REGVALUERECORD* value = (const REGVALUERECORD*)(image + pos);
            pos += sizeof(REGVALUERECORD);
            if (!CheckName(image, size, pos, value->cbName, kMaxName))
                return REG_STATUS_BAD_ARGUMENT;
            if (value->dwDataOffset > size || value->cbData > size - value->dwDataOffset)
                return REG_STATUS_BAD_ARGUMENT;
            pos += value->cbName;
            names += value->cbName;
            values++;
        }
    }
    if (values != header->dwValues || names != header->dwNameBytes)
        return REG_STATUS_BAD_ARGUMENT;
    return 0;
}

DWORD ImportRegKey(HKEY root, LPCWSTR path, const REGKEYRECORD* key,
                   const BYTE* values, const BYTE* image, DWORD* consumed)
{
    LogScope scope(L"ImportRegKey");
    WCHAR keyPath[CCH_REG_KEY_PATH];
    if (key->cbName)
        FormatStr(keyPath, ARRAYSIZE(keyPath), L"%s\\%s", path, (LPCWSTR)(key + 1));
    else
        FormatStr(keyPath, ARRAYSIZE(keyPath), L"%s", path);
    LogPrintf(32, L"ImportRegKey", L",%s,%d", keyPath, key->dwValues);

    UniqueKey hKey;
    LSTATUS status = RegCreateKeyExW(root, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_ALL_ACCESS, nullptr, hKey.put(), nullptr);
    if (status != ERROR_SUCCESS) {
        LogPrintf(LOG_E, L"ImportRegKey", L",RegCreateKeyEx,%s,error %d", keyPath, status);
        return status;
    }
    if (values && image) {
        const BYTE* cursor = values;
        for (DWORD v = 0; v < key->dwValues; v++) {
            const REGVALUERECORD* value = (const REGVALUERECORD*)cursor;
            LPCWSTR name = value->cbName ? (LPCWSTR)(value + 1) : nullptr;
            status = RegSetValueExW(hKey.get(), name, 0, value->dwType,
                                    image + value->dwDataOffset, value->cbData);
            if (status != ERROR_SUCCESS) {
                LogPrintf(LOG_E, L"ImportRegKey", L",RegSetValueEx,%s,error %d", name ? name : L"", status);
                return status;
            }
            DWORD record = sizeof(REGVALUERECORD) + value->cbName;
            cursor += record;
            if (consumed)
                *consumed += record;
        }
    }
    return RegCloseKey(hKey.release());
}

// Puts the key back as it was before a failed import: from its backup, or,
// when it did not exist before, by removing what the import created.
static void UndoImport(HKEY root, LPCWSTR path, BOOL backedUp)
{
    LSTATUS status = backedUp ? RestoreReg(root, path) : RegDeleteTreeW(root, path);
    if (status != ERROR_SUCCESS)
        LogPrintf(LOG_E, L"ImportReg", L",undo,%s,error %d", path, status);
}

DWORD ImportReg(HKEY root, LPCWSTR path, const BYTE* image, DWORD size)
{
    LogScope scope(L"ImportReg");
    if (!root || !path || !image || size == 0 || ValidateRegImage(path, image, size) != 0) {
        LogPrintf(LOG_E, L"ImportReg", L",bad argument or image,%d", size);
        return REG_STATUS_BAD_ARGUMENT;
    }
    WCHAR backup[CCH_REG_KEY_PATH];
    MakeBackupPath(path, backup);
    BOOL backedUp = FALSE;
    DWORD status = BackupReg(root, path, backup, &backedUp);
    if (status != 0)
        return status;

    status = RegDeleteTreeW(root, path);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        // Part of the tree may be gone already.
        LogPrintf(LOG_E, L"ImportReg", L",RegDeleteTree,%s,error %d", path, status);
        if (backedUp)
            UndoImport(root, path, TRUE);
        return status;
    }

    const REGIMAGEHEADER* header = (const REGIMAGEHEADER*)image;
    DWORD pos = sizeof(REGIMAGEHEADER);
    for (DWORD k = 0; k < header->dwKeys; k++) {
        const REGKEYRECORD* key = (const REGKEYRECORD*)(image + pos);
        DWORD consumed = sizeof(REGKEYRECORD) + key->cbName;
        const BYTE* values = key->dwValues ? image + pos + consumed : nullptr;
        status = ImportRegKey(root, path, key, values, image, &consumed);
        if (status != 0) {
            // The caller must not go on as after a complete import.
            UndoImport(root, path, backedUp);
            return status;
        }
        pos += consumed;
    }
    LogPrintf(32, L"ImportReg", L",%s,%d keys,OK", path, header->dwKeys);
    return 0;
}

DWORD BackupReg(HKEY root, LPCWSTR path, LPCWSTR backupPath, BOOL* backedUp)
{
    LogScope scope(L"BackupReg");
    if (backedUp)
        *backedUp = FALSE;
    if (!root || !IsValidRegKeyPath(path) || !IsKeyPathWithin(backupPath, kMaxName) || !_wcsicmp(path, backupPath))
        return REG_STATUS_BAD_ARGUMENT;
    UniqueKey key;
    LSTATUS status = RegOpenKeyExW(root, path, 0, KEY_ALL_ACCESS, key.put());
    if (status == ERROR_FILE_NOT_FOUND) {
        LogPrintf(32, L"BackupReg", L",%s,no key,no backup", path);
        return 0;
    }
    if (status != ERROR_SUCCESS) {
        LogPrintf(LOG_E, L"BackupReg", L",RegOpenKeyEx,%s,error %d", path, status);
        return status;
    }
    // A fresh key, so that the backup never mixes with an older one.
    status = RegDeleteTreeW(root, backupPath);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        LogPrintf(LOG_E, L"BackupReg", L",RegDeleteTree,%s,error %d", backupPath, status);
        return status;
    }
    UniqueKey backup;
    status = RegCreateKeyExW(root, backupPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_ALL_ACCESS, nullptr, backup.put(), nullptr);
    if (status != ERROR_SUCCESS) {
        LogPrintf(LOG_E, L"BackupReg", L",RegCreateKeyEx,%s,error %d", backupPath, status);
        return status;
    }
    status = RegCopyTreeW(key.get(), nullptr, backup.get());
    if (status != ERROR_SUCCESS) {
        // A half copy must not be mistaken for a backup later.
        LogPrintf(LOG_E, L"BackupReg", L",RegCopyTree,%s,error %d", backupPath, status);
        backup.reset();
        RegDeleteTreeW(root, backupPath);
        return status;
    }
    if (backedUp)
        *backedUp = TRUE;
    return 0;
}

DWORD RestoreReg(HKEY root, LPCWSTR path)
{
    LogScope scope(L"RestoreReg");
    WCHAR backupPath[CCH_REG_KEY_PATH];
    if (!root || !MakeBackupPath(path, backupPath))
        return REG_STATUS_BAD_ARGUMENT;
    UniqueKey backup;
    LSTATUS status = RegOpenKeyExW(root, backupPath, 0, KEY_ALL_ACCESS, backup.put());
    if (status != ERROR_SUCCESS) {
        LogPrintf(LOG_W, L"RestoreReg", L",RegOpenKeyEx,%s,error %d", backupPath, status);
        return status;
    }
    status = RegDeleteTreeW(root, path);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        LogPrintf(LOG_E, L"RestoreReg", L",RegDeleteTree,%s,error %d", path, status);
        return status;
    }
    UniqueKey key;
    status = RegCreateKeyExW(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
    if (status == ERROR_SUCCESS)
        status = RegCopyTreeW(backup.get(), nullptr, key.get());
    if (status != ERROR_SUCCESS)
        LogPrintf(LOG_E, L"RestoreReg", L",%s,error %d", path, status);
    return status;
}

DWORD DeleteBackupReg(HKEY root, LPCWSTR path)
{
    LogScope scope(L"DeleteBackupReg");
    WCHAR backupPath[CCH_REG_KEY_PATH];
    if (!root || !MakeBackupPath(path, backupPath))
        return REG_STATUS_BAD_ARGUMENT;
    LSTATUS status = RegDeleteTreeW(root, backupPath);
    if (status == ERROR_FILE_NOT_FOUND)
        return 0;
    if (status != ERROR_SUCCESS)
        LogPrintf(LOG_E, L"DeleteBackupReg", L",RegDeleteTree,%s,error %d", backupPath, status);
    return status;
}
