// Self-update: the update right (a named mutex held by one Remote Desktop
// client process on the PC), the version query and the download that swaps
// in a new library file.
#include "client.h"
#include "frame.h"
#include "log.h"
#include "module.h"
#include "raii.h"
#include "settings.h"
#include <shlwapi.h>

static HANDLE g_hUpdateMutex;

// The download in progress. Downloading is FALSE whenever no first piece has
// set up a temporary file, so a later piece can never complete (and swap in)
// an earlier or failed download.
static WCHAR g_szTempFile[MAX_PATH];
static WCHAR g_szNewFile[MAX_PATH];
static DWORD g_dwExpected;
static DWORD g_dwReceived;
static BOOL g_bDownloading;
// A download answers a version query of the same connection: a server that
// skipped it never learnt which file, or whether it may, update.
static BOOL g_bVersionAsked;

#define DL_OK          0
#define DL_OPEN_FAILED 1
#define DL_WRITE_FAILED 2
#define DL_SWAP_FAILED 3
#define DL_NOT_ALLOWED 4

// The 64-bit view: the package of either bitness writes the value there,
// and a 32-bit add-in on 64-bit Windows must read the same one.
BOOL UpdatesDisabledByPolicy()
{
    HKEY raw = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, CLIENT_POLICY_KEY, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &raw) !=
        ERROR_SUCCESS)
        return FALSE;
    UniqueKey key(raw);
    DWORD value = 0, type = 0, size = sizeof value;
    return RegQueryValueExW(key.get(), CLIENT_POLICY_NOUPDATE, nullptr, &type, (BYTE*)&value, &size) ==
               ERROR_SUCCESS &&
           type == REG_DWORD && value != 0;
}

void TakeUpdateMutex()
{
    static const LPCWSTR FN = L"VirtualChannelInitEvent";
    if (UpdatesDisabledByPolicy()) {
        LogPrintf(128, FN, L",cannot update,disabled by policy");
        return;
    }
    WCHAR folder[MAX_PATH];
    if (!GetModuleFolder(folder)) {
        LogPrintf(LOG_E, FN, L",GetModuleFolder,error %d", GetLastError());
        return;
    }
    if (!IsWritable(folder)) {
        LogPrintf(32, FN, L",cannot update,no write access");
        return;
    }
    if (g_hUpdateMutex)
        return;   // still held from this connection
    HANDLE mutex = CreateMutexW(nullptr, FALSE, UPDATE_MUTEX_NAME);
    DWORD error = GetLastError();
    if (!mutex) {
        LogPrintf(LOG_E, FN, L",CreateMutex update,error %d,", error);
    } else if (error != 0) {
        LogPrintf(32, FN, L",cannot update,process already exists");
        CloseHandle(mutex);
    } else {
        LogPrintf(32, FN, L",can update");
        g_hUpdateMutex = mutex;
        // Only the holder of the update right downloads: a temporary file of a
        // download found now was left by a client process that ended mid-way.
        // GetTempFileNameW keeps three characters of the prefix "DLoad".
        int n = DeleteLeftoverFiles(folder, L"DLo*.tmp");
        if (n)
            LogPrintf(32, FN, L",deleted unfinished downloads,%d", n);
    }
}

void ReleaseUpdateMutex()
{
    if (!g_hUpdateMutex)
        return;
    LogPrintf(32, L"VirtualChannelInitEvent", L",CloseHandle,update Mutex");
    CloseHandle(g_hUpdateMutex);
    g_hUpdateMutex = nullptr;
}

BOOL HoldsUpdateMutex()
{
    return g_hUpdateMutex != nullptr;
}

void ResetDownload()
{
    // A download that did not complete leaves nothing behind.
    if (g_szTempFile[0] && DeleteFileW(g_szTempFile))
        LogPrintf(32, L"DoDownload", L",Delete,%s", g_szTempFile);
    g_szTempFile[0] = 0;
    g_szNewFile[0] = 0;
    g_dwExpected = 0;
    g_dwReceived = 0;
    g_bDownloading = FALSE;
}

void EndUpdateConnection()
{
    ResetDownload();
    g_bVersionAsked = FALSE;
}

// The platform answers a version query on the path of a loaded module with
// that module's version, even after the file was replaced on disk; a copy
// under another name is read as the file it is.
DWORD GetDiskFileVersion(LPCWSTR path, DWORD* ms, DWORD* ls)
{
    WCHAR tempDir[MAX_PATH];
    TempFile copy;
    DWORD n = GetTempPathW(ARRAYSIZE(tempDir), tempDir);
    if (n && n < ARRAYSIZE(tempDir) && GetTempFileNameW(tempDir, L"QVV", 0, copy.buffer())) {
        if (CopyFileW(path, copy.path(), FALSE))
            return GetFileVersionMSLS(copy.path(), ms, ls);
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return error;
    }
    return GetFileVersionMSLS(path, ms, ls);
}

// The file name the module was loaded from: the 32-bit and the 64-bit build
// each report, and accept a download for, their own file only. The name it
// ships under keeps that spelling whatever case the path it was loaded by
// used, so that the reply stays the one the server has always seen.
void GetOwnFileName(LPWSTR name, size_t cch)
{
    WCHAR path[MAX_PATH];
    FormatStr(name, cch, L"%s%s", CLIENT_MODULE_BASE, CLIENT_MODULE_EXT);
    DWORD n = GetModuleFileNameW(g_hInst, path, ARRAYSIZE(path));
    if (n > 0 && n < ARRAYSIZE(path) && lstrcmpiW(PathFindFileNameW(path), name) != 0)
        lstrcpynW(name, PathFindFileNameW(path), (int)cch);
}

CRdpData GetFileVer()
{
    static const LPCWSTR FN = L"GetFileVer";
    LogScope scope(FN, 32);
    WCHAR name[MAX_PATH];
    GetOwnFileName(name, ARRAYSIZE(name));
    DWORD ms = 0, ls = 0;
    WCHAR path[MAX_PATH];
    if (GetModuleFolder(path) && lstrlenW(path) + lstrlenW(name) < MAX_PATH) {
        lstrcatW(path, name);
        if (GetDiskFileVersion(path, &ms, &ls) != 0)
            ms = ls = 0;
    }
    DWORD canUpdate = HoldsUpdateMutex() ? 1 : 0;
    g_bVersionAsked = TRUE;
    LogPrintf(64, FN, L",%d,%s,%d,%d", canUpdate, name, ms, ls);
    CRdpData reply(RDP_CMD_GETFILEVER, RDP_RES_OK);
    reply.AddDWORD(canUpdate);
    reply.AddString(name);
    reply.AddDWORD(ms);
    reply.AddDWORD(ls);
    return reply;
}

UINT UpdateDllFile()
{
    static const LPCWSTR FN = L"UpdateDllFile";
    LogScope scope(FN);
    WCHAR backup[MAX_PATH];
    lstrcpynW(backup, g_szNewFile, ARRAYSIZE(backup));
    if (!PathRenameExtensionW(backup, L".bak"))
        return 0;
    if (!DeleteFileW(backup) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        LogPrintf(LOG_E, FN, L",Delete %s,NG %d", backup, GetLastError());
        return 0;
    }
    BOOL moved = MoveFileW(g_szNewFile, backup);
    if (moved) {
        LogPrintf(128, FN, L",%s ->,%s,OK", g_szNewFile, backup);
    } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
        LogPrintf(LOG_E, FN, L",%s ->,%s,NG %d", g_szNewFile, backup, GetLastError());
        return 0;
    }
    if (MoveFileW(g_szTempFile, g_szNewFile)) {
        LogPrintf(128, FN, L",%s ->,%s,OK", g_szTempFile, g_szNewFile);
        return 1;
    }
    LogPrintf(LOG_E, FN, L",%s ->,%s,NG", g_szTempFile, g_szNewFile);
    if (moved) {
        MoveFileW(backup, g_szNewFile);
        LogPrintf(255, FN, L",%s ->,%s,UNDO", backup, g_szNewFile);
    }
    return 0;
}

// Only the module's own file name, without any path, may be written.
static BOOL IsOwnFileName(LPCWSTR name)
{
    WCHAR own[MAX_PATH];
    GetOwnFileName(own, ARRAYSIZE(own));
    return lstrcmpiW(name, own) == 0;
}

// First piece: a fresh temporary file in the module's folder. Returns the
// creation disposition, or 0 when the download cannot start.
static DWORD StartDownload(DWORD total, RDPRESULT* result)
{
    static const LPCWSTR FN = L"DoDownload";
    ResetDownload();
    if (!g_bVersionAsked || total > DOWNLOAD_TOTAL_MAX) {
        LogPrintf(LOG_E, FN, L",refused,%s,total %u", g_bVersionAsked ? L"too large" : L"no version query", total);
        *result = DL_NOT_ALLOWED;
        return 0;
    }
    WCHAR name[CCH_FILE_NAME];
    if (g_pRecvData->GetString(name, ARRAYSIZE(name)) == RDP_STRING_BAD || !IsOwnFileName(name)) {
        LogPrintf(LOG_E, FN, L",refused file name");
        *result = DL_OPEN_FAILED;
        return 0;
    }
    WCHAR folder[MAX_PATH];
    if (!GetModuleFolder(folder) || lstrlenW(folder) + lstrlenW(name) >= MAX_PATH ||
        !GetTempFileNameW(folder, L"DLoad", 0, g_szTempFile)) {
        LogPrintf(LOG_E, FN, L",GetTempFileName,error %d", GetLastError());
        g_szTempFile[0] = 0;
        *result = DL_WRITE_FAILED;
        return 0;
    }
    FormatStr(g_szNewFile, ARRAYSIZE(g_szNewFile), L"%s%s", folder, name);
    g_dwExpected = total;
    g_dwReceived = 0;
    g_bDownloading = TRUE;
    LogPrintf(32, FN, L",New File,%s", g_szTempFile);
    return CREATE_ALWAYS;
}

// Appends the request's piece to the open file; a piece larger than what is
// left of the request or of the announced total is not written at all.
static RDPRESULT WritePiece(HANDLE file)
{
    static const LPCWSTR FN = L"DoDownload";
    DWORD n = g_pRecvData->GetDWORD();
    DWORD left = g_pRecvData->Len() - (DWORD)g_pRecvData->ReadPos();
    if (n > left || n > g_dwExpected - g_dwReceived) {
        LogPrintf(LOG_E, FN, L",piece size,%d,left %d,expected %d", n, left, g_dwExpected - g_dwReceived);
        return DL_WRITE_FAILED;
    }
    UniqueHeap heap(HeapCreate(0, 0, 0));
    BYTE* piece = heap ? (BYTE*)HeapAlloc(heap.get(), 0, n ? n : 1) : nullptr;
    if (!piece || g_pRecvData->GetBuf(piece, n, FALSE) != n)
        return DL_WRITE_FAILED;
    DWORD done = 0;
    while (done < n) {
        DWORD written = 0;
        if (!WriteFile(file, piece + done, n - done, &written, nullptr) || written == 0) {
            LogPrintf(LOG_E, FN, L",WriteFile,error %d", GetLastError());
            break;
        }
        done += written;
    }
    g_dwReceived += done;
    return done == n ? DL_OK : DL_WRITE_FAILED;
}

static RDPRESULT WriteDownload(DWORD disposition)
{
    static const LPCWSTR FN = L"DoDownload";
    UniqueFile file(CreateFileW(g_szTempFile, GENERIC_WRITE, 0, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return DL_OPEN_FAILED;
    if (disposition == OPEN_ALWAYS) {
        // A file that is not exactly what was received so far (removed or
        // changed by someone else) would be completed with a hole in it.
        DWORD end = SetFilePointer(file.get(), 0, nullptr, FILE_END);
        if (end == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
            LogPrintf(LOG_E, FN, L",SetFilePointer,error %d", GetLastError());
            return DL_WRITE_FAILED;
        }
        if (end != g_dwReceived) {
            LogPrintf(LOG_E, FN, L",SetFilePointer,size %d,received %d", end, g_dwReceived);
            return DL_WRITE_FAILED;
        }
    }
    return WritePiece(file.get());
}

static RDPRESULT FinishIfComplete(RDPRESULT result)
{
    static const LPCWSTR FN = L"DoDownload";
    if (g_dwReceived != g_dwExpected) {
        LogPrintf(32, FN, L",done %d / %d", g_dwReceived, g_dwExpected);
        return result;
    }
    LogPrintf(32, FN, L",COMPLETE,%s ->,%s", g_szTempFile, g_szNewFile);
    g_bDownloading = FALSE;
    // Checked on the complete file, before anything beside it moves.
    BOOL acceptable = IsAcceptableUpdate(g_szTempFile, g_dwReceived);
    BOOL swapped = acceptable && UpdateDllFile();
    if (!swapped)
        DeleteFileW(g_szTempFile);
    g_szTempFile[0] = 0;   // moved or deleted: no longer ours to delete
    if (!acceptable)
        return DL_NOT_ALLOWED;
    return swapped ? result : DL_SWAP_FAILED;
}

RDPRESULT DoDownload()
{
    static const LPCWSTR FN = L"DoDownload";
    LogScope scope(FN, 32);
    RDPRESULT result = DL_OPEN_FAILED;
    if (!HoldsUpdateMutex()) {
        LogPrintf(LOG_E, FN, L",PROGRAM ERROR,EXCLUSIVE");
        result = DL_NOT_ALLOWED;
    } else if (!g_pRecvData) {
        result = DL_OPEN_FAILED;
    } else {
        DWORD total = g_pRecvData->GetDWORD();
        DWORD disposition = OPEN_ALWAYS;
        if (total) {
            disposition = StartDownload(total, &result);
        } else {
            LogPrintf(32, FN, L",continue");
            if (!g_bDownloading)
                disposition = 0;   // nothing to continue: the open fails
        }
        if (disposition) {
            result = WriteDownload(disposition);
            if (result == DL_OK)
                result = FinishIfComplete(result);
            else
                ResetDownload();   // a gap in the file must never be completed later
        }
    }
    LogPrintf(32, FN, L",RDP_RES %d", result);
    return result;
}
