// The service's log lies under the common application data folder, where
// every user may create folders. Nothing there is taken over: the log folder
// is made with its own owner and DACL at creation, an existing one is used
// only when local system or the administrators own it, and no step of the
// way may be a reparse point (a junction planted by a user would send what
// the service writes elsewhere). Every folder of the way stays open without
// delete sharing while the service runs, so none can be swapped afterwards.
#include "service.h"
#include "log.h"
#include "module.h"
#include "raii.h"
#include "settings.h"
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>
#include <wchar.h>

#define SERVICE_LOG_SUBFOLDER L"\\ServiceLog"
#define SERVICE_LOG_NAME L"Quorvane_Svc"

BOOL MakeLogFolderSecurity(PSECURITY_DESCRIPTOR* sd)
{
    // Administrators own it; local system and administrators: full control;
    // users: read.
    return ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)", SDDL_REVISION_1, sd, nullptr);
}

// Local system, the administrators, or the account the service runs as.
static BOOL IsTrustedOwner(PSID owner)
{
    if (!owner || !IsValidSid(owner))
        return FALSE;
    if (IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid))
        return TRUE;
    UniqueHandle token;
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD got = 0;
    return OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())
           && GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &got)
           && EqualSid(owner, ((TOKEN_USER*)buffer)->User.Sid);
}

// Opens one folder of the way without following a reparse point; 0 or why not.
static DWORD OpenFolder(LPCWSTR path, BOOL mustBeOurs, UniqueFile* held)
{
    DWORD attributes = GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return ERROR_STOPPED_ON_SYMLINK;
    held->reset(CreateFileW(path, READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!*held)
        return GetLastError();
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(held->get(), &info))
        return GetLastError();
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return ERROR_DIRECTORY;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return ERROR_STOPPED_ON_SYMLINK;
    if (!mustBeOurs)
        return 0;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD error = GetSecurityInfo(held->get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                  nullptr, nullptr, &sd);
    if (error == 0 && !IsTrustedOwner(owner))
        error = ERROR_INVALID_OWNER;
    LocalFree(sd);
    return error;
}

// Creates the folder if it is not there (the last one with its security
// descriptor from the start), then opens it as above.
static DWORD MakeFolder(LPCWSTR path, BOOL last, UniqueFile* held)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (last && !MakeLogFolderSecurity(&sd))
        return GetLastError();
    SECURITY_ATTRIBUTES sa = {sizeof sa, sd, FALSE};
    BOOL created = CreateDirectoryW(path, last ? &sa : nullptr);
    DWORD error = created || GetLastError() == ERROR_ALREADY_EXISTS ? 0 : GetLastError();
    LocalFree(sd);
    return error ? error : OpenFolder(path, last, held);
}

DWORD PrepareLogFolder(LPCWSTR base, LPCWSTR relative, LogFolderHold* hold)
{
    WCHAR path[MAX_PATH];
    if (FormatStr(path, MAX_PATH, L"%s\\%s", base, relative) >= MAX_PATH - 1)
        return ERROR_FILENAME_EXCED_RANGE;
    size_t step = 0;
    for (LPWSTR at = path + wcslen(base) + 1;; at++) {
        if (*at != L'\\' && *at)
            continue;
        if (step == ARRAYSIZE(hold->folders))
            return ERROR_FILENAME_EXCED_RANGE;
        WCHAR end = *at;
        *at = 0;
        DWORD error = MakeFolder(path, end == 0, &hold->folders[step++]);
        if (error)
            return error;
        if (!end)
            return 0;
        *at = end;
    }
}

void StartServiceLog()
{
    static LogFolderHold hold;   // for the service's lifetime
    WCHAR base[MAX_PATH], relative[MAX_PATH];
    if (!SHGetSpecialFolderPathW(nullptr, base, CSIDL_COMMON_APPDATA, TRUE))
        return;
    FormatStr(relative, MAX_PATH, L"%s%s", COMPANY_FOLDER + 1, SERVICE_LOG_SUBFOLDER);
    // A folder that is not safely ours gets no log at all.
    if (PrepareLogFolder(base, relative, &hold) != 0)
        return;
    WCHAR folder[MAX_PATH];
    FormatStr(folder, MAX_PATH, L"%s\\%s", base, relative);
    LogStartAt(folder, SERVICE_LOG_NAME, LOGLEVEL_DEFAULT);
}
