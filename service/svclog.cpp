// The service's log lies under the common application data folder, where
// every user may create folders: the log folder gets an owner and a DACL of
// its own, so that no user can plant or change what the service writes.
#include "service.h"
#include "log.h"
#include "module.h"
#include "settings.h"
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#define SERVICE_LOG_SUBFOLDER L"\\ServiceLog"
#define SERVICE_LOG_NAME L"Quorvane_Svc"

static BOOL SecureFolder(LPWSTR folder)
{
    // Local system and administrators: full control; users: read.
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)", SDDL_REVISION_1, &sd, nullptr))
        return FALSE;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    PSID owner = nullptr;
    GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
    GetSecurityDescriptorOwner(sd, &owner, &defaulted);
    DWORD error = SetNamedSecurityInfoW(folder, SE_FILE_OBJECT,
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION
                                            | PROTECTED_DACL_SECURITY_INFORMATION,
                                        owner, nullptr, dacl, nullptr);
    LocalFree(sd);
    SetLastError(error);
    return error == ERROR_SUCCESS;
}

void StartServiceLog()
{
    WCHAR base[MAX_PATH], folder[MAX_PATH];
    if (!SHGetSpecialFolderPathW(nullptr, base, CSIDL_COMMON_APPDATA, TRUE))
        return;
    if (FormatStr(folder, MAX_PATH, L"%s%s%s", base, COMPANY_FOLDER, SERVICE_LOG_SUBFOLDER)
        >= MAX_PATH - 1)
        return;
    SHCreateDirectoryExW(nullptr, folder, nullptr);
    // A folder that cannot be made ours gets no log at all.
    if (!SecureFolder(folder))
        return;
    LogStartAt(folder, SERVICE_LOG_NAME, LOGLEVEL_DEFAULT);
}
