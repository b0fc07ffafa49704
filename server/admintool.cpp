// The administrator tool's side of an elevated registry operation: the
// request file, the stored account and the tool started under it.
#include "elevate.h"
#include "cipher.h"
#include "log.h"
#include "module.h"
#include "raii.h"
#include "regops.h"
#include "regrequest.h"
#include "settings.h"
#include <sddl.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <wchar.h>

// The account's secret lives in this buffer only for the time of one call.
struct SecretBuffer {
    WCHAR text[CCH_CREDENTIAL] = L"";
    ~SecretBuffer() { SecureZeroMemory(text, sizeof text); }
};

// The common settings file as the start-up located it; a caller that runs
// before the start-up gets the file in the common application data folder.
static BOOL GetCommonIniPath(LPWSTR path /* MAX_PATH */)
{
    if (g_szCommonIni[0]) {
        lstrcpynW(path, g_szCommonIni, MAX_PATH);
        return TRUE;
    }
    WCHAR folder[MAX_PATH];
    if (!SHGetSpecialFolderPathW(nullptr, folder, CSIDL_COMMON_APPDATA, TRUE))
        return FALSE;
    FormatStr(path, MAX_PATH, L"%s%s%s", folder, COMPANY_FOLDER, COMMON_INI_NAME);
    return TRUE;
}

static void ReadAdminAccount(LPWSTR user /* CCH_CREDENTIAL */, LPWSTR secret /* CCH_CREDENTIAL */)
{
    user[0] = 0;
    secret[0] = 0;
    WCHAR ini[MAX_PATH];
    if (!GetCommonIniPath(ini)) {
        LogPrintf(LOG_E, L"RunElevatedRegOperation", L",SHGetSpecialFolderPath,error %d", GetLastError());
        return;
    }
    SecretBuffer stored;
    GetPrivateProfileStringW(L"Server", L"AdminUser", L"", user, CCH_CREDENTIAL, ini);
    GetPrivateProfileStringW(L"Server", L"AdminPassword", L"", stored.text, CCH_CREDENTIAL, ini);
    ReadStoredCredential(stored.text, secret);
    LogPrintf(32, L"RunElevatedRegOperation", L",%s,%s,%d", ini, user, secret[0] != 0);
}

static BOOL WriteAll(HANDLE file, const void* data, DWORD size)
{
    DWORD written = 0;
    return WriteFile(file, data, size, &written, nullptr) && written == size;
}

DWORD WriteRegRequest(HANDLE file, DWORD op, HKEY root, LPCWSTR path, const BYTE* image, DWORD size)
{
    REGREQUESTHEADER header = {};
    header.dwOperation = op;
    header.qwRootKey = (ULONGLONG)(LONG_PTR)root;
    header.cbPath = path ? (DWORD)(wcslen(path) + 1) * sizeof(WCHAR) : sizeof(WCHAR);
    header.cbData = image ? size : 0;
    static const WCHAR empty[1] = L"";
    if (!WriteAll(file, &header, sizeof header)
        || !WriteAll(file, path ? path : empty, header.cbPath)
        || (header.cbData && !WriteAll(file, image, header.cbData)))
        return GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
    return 0;
}

static DWORD GetAdminToolPath(LPWSTR path /* MAX_PATH */)
{
    WCHAR folder[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, folder, ARRAYSIZE(folder));
    if (n == 0 || n >= ARRAYSIZE(folder))
        return n ? ERROR_INSUFFICIENT_BUFFER : GetLastError();
    PathRemoveFileSpecW(folder);
    if (FormatStr(path, MAX_PATH, L"%s\\%s", folder, ADMIN_TOOL_NAME)
        != (int)(wcslen(folder) + 1 + wcslen(ADMIN_TOOL_NAME)))
        return ERROR_FILENAME_EXCED_RANGE;
    return 0;
}

// Only this user (who makes the file) and the administrators (the tool's
// account) may open the request file, whatever the folder's inheritance says.
BOOL MakeRequestFileSecurity(PSECURITY_DESCRIPTOR* sd)
{
    UniqueHandle token;
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD got = 0;
    LPWSTR user = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())
        || !GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &got)
        || !ConvertSidToStringSidW(((TOKEN_USER*)buffer)->User.Sid, &user))
        return FALSE;
    WCHAR sddl[256];
    FormatStr(sddl, ARRAYSIZE(sddl), L"O:%sD:P(A;;FA;;;%s)(A;;FA;;;BA)", user, user);
    LocalFree(user);
    return ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, sd, nullptr);
}

// A new file of a fresh name (RDPxxxx.tmp) in folder, made with that
// descriptor and shared with readers only: nobody can rewrite it between the
// server's write and the tool's read.
HANDLE CreateRequestFile(LPCWSTR folder, TempFile* request)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!MakeRequestFileSecurity(&sd))
        return INVALID_HANDLE_VALUE;
    SECURITY_ATTRIBUTES sa = {sizeof sa, sd, FALSE};
    HANDLE file = INVALID_HANDLE_VALUE;
    UINT unique = (GetTickCount() ^ (GetCurrentThreadId() << 4)) & 0xFFFF;
    for (int attempt = 0; attempt < 64 && file == INVALID_HANDLE_VALUE; attempt++) {
        unique = (unique + 0x9E37 * (attempt + 1)) & 0xFFFF;
        if (!GetTempFileNameW(folder, REG_REQUEST_PREFIX, unique ? unique : 1, request->buffer()))
            break;
        file = CreateFileW(request->path(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    DWORD error = GetLastError();
    if (file == INVALID_HANDLE_VALUE)
        request->keep();   // nothing of ours to delete
    LocalFree(sd);
    SetLastError(error);
    return file;
}

// The request goes into a file in the user's temporary folder, which the
// administrator tool reads when it runs under the stored account.
DWORD RunAdminToolRegOperation(DWORD op, HKEY root, LPCWSTR path, const BYTE* image, DWORD size)
{
    DWORD status = 0;
    WCHAR user[CCH_CREDENTIAL];
    SecretBuffer secret;
    ReadAdminAccount(user, secret.text);

    WCHAR tempFolder[MAX_PATH];
    DWORD n = GetTempPathW(ARRAYSIZE(tempFolder), tempFolder);
    if (n == 0 || n >= ARRAYSIZE(tempFolder))
        return n ? ERROR_INSUFFICIENT_BUFFER : GetLastError();
    TempFile request;
    // Held open for reading until the tool has ended, sharing neither write
    // nor delete: nobody rewrites the request, and another instance's
    // start-up clean-up cannot take it away from the tool.
    UniqueFile hold;
    {
        UniqueFile file(CreateRequestFile(tempFolder, &request));
        if (!file) {
            status = GetLastError();
            LogPrintf(LOG_E, L"RunElevatedRegOperation", L",CreateFile,%s,error %d", tempFolder, status);
            return status;
        }
        status = WriteRegRequest(file.get(), op, root, path, image, size);
        file.reset();
        if (status == 0)
            hold.reset(CreateFileW(request.path(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        if (status == 0 && !hold)
            status = GetLastError();
    }
    if (status != 0) {
        LogPrintf(LOG_E, L"RunElevatedRegOperation", L",WriteFile,%s,error %d", request.path(), status);
        return status;
    }
    WCHAR tool[MAX_PATH];
    status = GetAdminToolPath(tool);
    if (status == 0)
        status = CreateProcessAsAdmin(user, secret.text, tool, request.path());
    LogPrintf(64, L"RunElevatedRegOperation", L",%s,status %d", tool, status);
    LogPrintf(64, L"RunElevatedRegOperation", L",admin tool,status %d", status);
    hold.reset();
    return status;   // the request file goes with `request`
}

// A request file of ours by its content: the header of an operation on
// HKEY_LOCAL_MACHINE and exactly the bytes it announces. Other programs'
// files under the same prefix are no business of ours.
static BOOL IsRegRequestFile(LPCWSTR path)
{
    UniqueFile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    REGREQUESTHEADER header;
    DWORD got = 0;
    LARGE_INTEGER size;
    if (!file || !GetFileSizeEx(file.get(), &size) || !ReadFile(file.get(), &header, sizeof header, &got, nullptr)
        || got != sizeof header)
        return FALSE;
    return header.dwOperation <= REG_OP_RESTORE && header.dwReserved == 0
        && header.qwRootKey == (ULONGLONG)(LONG_PTR)HKEY_LOCAL_MACHINE && header.cbPath != 0
        && (ULONGLONG)size.QuadPart == sizeof header + (ULONGLONG)header.cbPath + header.cbData;
}

void DeleteLeftoverRequests()
{
    WCHAR folder[MAX_PATH];
    DWORD n = GetTempPathW(ARRAYSIZE(folder), folder);
    if (n == 0 || n >= ARRAYSIZE(folder))
        return;
    int deleted = DeleteLeftoverFiles(folder, REG_REQUEST_PREFIX L"*.tmp", IsRegRequestFile);
    if (deleted)
        LogPrintf(64, L"OnInitInstance", L",deleted request files,%d", deleted);
}

DWORD CreateProcessAsAdmin(LPCWSTR user, LPCWSTR secret, LPCWSTR application, LPCWSTR commandLine)
{
    LogScope scope(L"CreateProcessAsAdmin", 32);
    STARTUPINFOW si = { sizeof si };
    PROCESS_INFORMATION pi = {};
    // The tool takes everything after the first blank as its argument, so a
    // path with spaces needs no quotes.
    UniqueHeapBlock line;
    if (commandLine) {
        size_t cch = wcslen(commandLine) + 2;
        line.reset(HeapAlloc(GetProcessHeap(), 0, cch * sizeof(WCHAR)));
        if (!line)
            return ERROR_NOT_ENOUGH_MEMORY;
        FormatStr((LPWSTR)line.get(), cch, commandLine[0] == L' ' ? L"%s" : L" %s", commandLine);
    }
    if (!CreateProcessWithLogonW(user, nullptr, secret, 0, application, (LPWSTR)line.get(),
                                 CREATE_NEW_CONSOLE | CREATE_NEW_PROCESS_GROUP | CREATE_DEFAULT_ERROR_MODE,
                                 nullptr, nullptr, &si, &pi)) {
        // A failed start must never read as the tool's success.
        DWORD error = GetLastError();
        if (error == 0)
            error = ERROR_GEN_FAILURE;
        LogPrintf(LOG_E, L"CreateProcessAsAdmin", L",CreateProcessWithLogon,%s,%s,error %d", user ? user : L"", application, error);
        return error;
    }
    UniqueHandle process(pi.hProcess), thread(pi.hThread);
    WaitForSingleObject(process.get(), INFINITE);
    DWORD code = 0;
    if (!GetExitCodeProcess(process.get(), &code))
        code = GetLastError();
    LogPrintf(32, L"CreateProcessAsAdmin", L",exit code %d", code);
    return code;
}
