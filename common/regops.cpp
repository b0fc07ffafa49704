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

// For a string type whose data does not end in a NUL, RegSetValueExW looks at
// the character after the data and, if that one is a NUL, stores it too: it
// reads past the value (past the image, for the last value) and stores more
// than the image holds. String data is therefore handed over between guard
// characters that are never NUL, so that exactly the image's bytes land.
static LSTATUS SetImageValue(HKEY key, LPCWSTR name, DWORD type, const BYTE* data, DWORD size)
{
    if (size == 0 || (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ))
        return RegSetValueExW(key, name, 0, type, data, size);
    UniqueHeapBlock copy(HeapAlloc(GetProcessHeap(), 0, (SIZE_T)size + 2 * sizeof(WCHAR)));
    if (!copy)
        return ERROR_NOT_ENOUGH_MEMORY;
    BYTE* guarded = (BYTE*)copy.get();
    memset(guarded, 0xFF, (SIZE_T)size + 2 * sizeof(WCHAR));
    memcpy(guarded + sizeof(WCHAR), data, size);
    return RegSetValueExW(key, name, 0, type, guarded + sizeof(WCHAR), size);
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
            status = SetImageValue(hKey.get(), name, value->dwType,
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

// A backup found at the start of an import is the last good state left by an
// import that never finished (the process was killed between its writes):
// the key beside it may be half written, so it must not become the backup.
// The import goes on over that key and the backup stays; a restore after a
// failure then brings back the last good state, and DeleteBackupReg after
// success drops it as usual. A backup key only ever appears complete, see
// BackupReg.
static BOOL KeyExists(HKEY root, LPCWSTR path)
{
    UniqueKey key;
    return RegOpenKeyExW(root, path, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

static DWORD BackupBeforeImport(HKEY root, LPCWSTR path, LPCWSTR backup, BOOL* backedUp)
{
    if (!KeyExists(root, backup))
        return BackupReg(root, path, backup, backedUp);
    LogPrintf(LOG_W, L"ImportReg", L",%s,backup of an unfinished import kept", backup);
    // Undo puts the backup back only over a key that is there; a key that an
    // unfinished import had already removed stays removed, for the caller's
    // RestoreReg to decide.
    *backedUp = KeyExists(root, path);
    return 0;
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
    DWORD status = BackupBeforeImport(root, path, backup, &backedUp);
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

// The sibling under which a backup is built before it gets its name, so that
// a key named "..._backup" is always a complete copy: a process killed while
// copying leaves only this staging key, which the next backup or deletion
// clears away. It fits wherever the backup name fits.
#define REG_STAGING_NAME L"_backup~"

static void MakeStagingPath(LPCWSTR sibling, LPWSTR staging /* CCH_REG_KEY_PATH */)
{
    LPCWSTR slash = wcsrchr(sibling, L'\\');
    if (slash)
        FormatStr(staging, CCH_REG_KEY_PATH, L"%.*s\\%s", (int)(slash - sibling), sibling, REG_STAGING_NAME);
    else
        FormatStr(staging, CCH_REG_KEY_PATH, L"%s", REG_STAGING_NAME);
}

static LPCWSTR LeafName(LPCWSTR path)
{
    LPCWSTR slash = wcsrchr(path, L'\\');
    return slash ? slash + 1 : path;
}

static DWORD DeleteTreeIfAny(HKEY root, LPCWSTR path)
{
    LSTATUS status = RegDeleteTreeW(root, path);
    return status == ERROR_FILE_NOT_FOUND ? 0 : status;
}

// Copies the key into a fresh staging key.
static DWORD CopyToStaging(HKEY root, HKEY key, LPCWSTR staging)
{
    DWORD status = DeleteTreeIfAny(root, staging);
    if (status != ERROR_SUCCESS) {
        LogPrintf(LOG_E, L"BackupReg", L",RegDeleteTree,%s,error %d", staging, status);
        return status;
    }
    UniqueKey copy;
    status = RegCreateKeyExW(root, staging, 0, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_ALL_ACCESS, nullptr, copy.put(), nullptr);
    if (status != ERROR_SUCCESS) {
        LogPrintf(LOG_E, L"BackupReg", L",RegCreateKeyEx,%s,error %d", staging, status);
        return status;
    }
    status = RegCopyTreeW(key, nullptr, copy.get());
    if (status != ERROR_SUCCESS)
        LogPrintf(LOG_E, L"BackupReg", L",RegCopyTree,%s,error %d", staging, status);
    return status;
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
    WCHAR staging[CCH_REG_KEY_PATH];
    MakeStagingPath(backupPath, staging);
    status = CopyToStaging(root, key.get(), staging);
    // A fresh key, so that the backup never mixes with an older one.
    if (status == ERROR_SUCCESS) {
        status = DeleteTreeIfAny(root, backupPath);
        if (status != ERROR_SUCCESS)
            LogPrintf(LOG_E, L"BackupReg", L",RegDeleteTree,%s,error %d", backupPath, status);
    }
    if (status == ERROR_SUCCESS) {
        status = RegRenameKey(root, staging, LeafName(backupPath));
        if (status != ERROR_SUCCESS)
            LogPrintf(LOG_E, L"BackupReg", L",RegRenameKey,%s,error %d", staging, status);
    }
    if (status != ERROR_SUCCESS) {
        // A half copy must not be mistaken for a backup later.
        RegDeleteTreeW(root, staging);
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
    WCHAR backupPath[CCH_REG_KEY_PATH], staging[CCH_REG_KEY_PATH];
    if (!root || !MakeBackupPath(path, backupPath))
        return REG_STATUS_BAD_ARGUMENT;
    // The backup loses its name first: a deletion cut short must not leave a
    // partial tree that the next import would take for the last good state.
    MakeStagingPath(backupPath, staging);
    DeleteTreeIfAny(root, staging);
    LSTATUS status = RegRenameKey(root, backupPath, REG_STAGING_NAME);
    if (status == ERROR_FILE_NOT_FOUND)
        return 0;
    LPCWSTR doomed = status == ERROR_SUCCESS ? staging : backupPath;
    status = DeleteTreeIfAny(root, doomed);
    if (status != ERROR_SUCCESS)
        LogPrintf(LOG_E, L"DeleteBackupReg", L",RegDeleteTree,%s,error %d", doomed, status);
    return status;
}
