// The service's side of an elevated registry operation, from the server
// module: connecting to its pipe, believing it only when a trusted account
// made it, and one request with its answer.
#include "elevate.h"
#include "log.h"
#include "raii.h"
#include "regrequest.h"
#include <aclapi.h>

BOOL IsTrustedPipeOwner(PSID owner, PSID self)
{
    if (!owner || !IsValidSid(owner))
        return FALSE;
    return IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
           (self && IsValidSid(self) && EqualSid(owner, self));
}

// One SID of this process's token: its user, or the owner it gives the
// objects it makes; NULL when it cannot be read.
struct TokenSid {
    union {
        TOKEN_USER user;
        TOKEN_OWNER owner;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } info = {};
    PSID sid = nullptr;
    TokenSid(HANDLE token, TOKEN_INFORMATION_CLASS cls)
    {
        DWORD got = 0;
        if (token && GetTokenInformation(token, cls, &info, sizeof info, &got))
            sid = cls == TokenUser ? info.user.User.Sid : info.owner.Owner;
    }
};

// While the service is stopped, any user can create a pipe of its name to
// receive the other users' requests and answer them as it likes. The pipe is
// believed only when the service made it (owned by local system or the
// administrators, which no ordinary user can set) or this process's own
// user did (its user, or the owner its objects get). A pipe whose owner
// cannot be told is never believed.
DWORD CheckPipeOwner(HANDLE pipe)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD rc = GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                               nullptr, &sd);
    if (rc != ERROR_SUCCESS)
        return rc;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        token = nullptr;
    TokenSid user(token, TokenUser), made(token, TokenOwner);
    BOOL trusted = IsTrustedPipeOwner(owner, user.sid) || IsTrustedPipeOwner(owner, made.sid);
    if (token)
        CloseHandle(token);
    LocalFree(sd);
    return trusted ? 0 : owner ? ERROR_ACCESS_DENIED : ERROR_INVALID_OWNER;
}

// Whether the service control manager has the service installed and not
// stopped. When it cannot be asked, the service may well run: the caller
// then never falls back.
static BOOL ServiceMayRun()
{
    UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return TRUE;
    UniqueService service(OpenServiceW(manager.get(), REG_SERVICE_NAME, SERVICE_QUERY_STATUS));
    if (!service)
        return GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST;
    SERVICE_STATUS status = {};
    return !QueryServiceStatus(service.get(), &status) || status.dwCurrentState != SERVICE_STOPPED;
}

static ULONGLONG LeftUntil(ULONGLONG end)
{
    ULONGLONG now = GetTickCount64();
    return now >= end ? 0 : end - now;
}

// The service's pipe when the service is there. Otherwise an invalid handle,
// the error, and *noService TRUE only when the service is not installed or
// not running: a busy or slow service is waited for (SERVICE_CONNECT_TIMEOUT_MS)
// and never a reason to fall back, since any user can keep it busy.
static HANDLE ConnectToService(DWORD* error, BOOL* noService)
{
    *noService = FALSE;
    ULONGLONG end = GetTickCount64() + SERVICE_CONNECT_TIMEOUT_MS;
    for (;;) {
        // Identification level: the service can tell who asks, and a pipe of
        // somebody else's can never act as this user.
        HANDLE pipe = CreateFileW(RegServicePipeName(), REG_SERVICE_PIPE_ACCESS, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        *error = pipe == INVALID_HANDLE_VALUE ? GetLastError() : CheckPipeOwner(pipe);
        if (*error == 0)
            return pipe;
        if (pipe != INVALID_HANDLE_VALUE) {
            CloseHandle(pipe);
            LogPrintf(LOG_E, L"RunElevatedRegOperation", L",service pipe,owner not trusted,error %d", *error);
            *noService = !ServiceMayRun();
            return INVALID_HANDLE_VALUE;
        }
        if (*error == ERROR_FILE_NOT_FOUND && !ServiceMayRun()) {
            *noService = TRUE;
            return INVALID_HANDLE_VALUE;
        }
        ULONGLONG left = LeftUntil(end);
        if ((*error != ERROR_PIPE_BUSY && *error != ERROR_FILE_NOT_FOUND) || left == 0)
            return INVALID_HANDLE_VALUE;
        if (*error == ERROR_PIPE_BUSY)
            WaitNamedPipeW(RegServicePipeName(), (DWORD)(left < 1000 ? left : 1000));
        else
            Sleep(left < 250 ? (DWORD)left : 250);   // starting: its pipe comes soon
    }
}

// One overlapped read or write of exactly size bytes, done by `end`; a
// transfer that gives up is cancelled before its buffer goes.
static DWORD TransferBy(HANDLE pipe, void* buffer, DWORD size, BOOL write, ULONGLONG end)
{
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    for (DWORD done = 0; event && done < size;) {
        OVERLAPPED ov = {};
        ov.hEvent = event.get();
        BYTE* at = (BYTE*)buffer + done;
        BOOL started = write ? WriteFile(pipe, at, size - done, nullptr, &ov) : ReadFile(pipe, at, size - done, nullptr, &ov);
        if (!started && GetLastError() != ERROR_IO_PENDING)
            return GetLastError();
        DWORD n = 0;
        if (WaitForSingleObject(event.get(), (DWORD)LeftUntil(end)) != WAIT_OBJECT_0) {
            CancelIoEx(pipe, &ov);
            GetOverlappedResult(pipe, &ov, &n, TRUE);
            return ERROR_TIMEOUT;
        }
        if (!GetOverlappedResult(pipe, &ov, &n, FALSE))
            return GetLastError();
        if (n == 0)
            return ERROR_BROKEN_PIPE;
        done += n;
    }
    return event ? 0 : GetLastError();
}

// The request (header, path, image) and the service's 4-byte answer, each
// within SERVICE_ANSWER_TIMEOUT_MS.
static DWORD ExchangeWithService(HANDLE pipe, DWORD op, HKEY root, LPCWSTR path, const BYTE* image, DWORD size)
{
    REGREQUESTHEADER header = {};
    header.dwOperation = op;
    header.qwRootKey = (ULONGLONG)(LONG_PTR)root;
    header.cbPath = (DWORD)(wcslen(path) + 1) * sizeof(WCHAR);
    header.cbData = image ? size : 0;
    ULONGLONG end = GetTickCount64() + SERVICE_ANSWER_TIMEOUT_MS;
    DWORD status = TransferBy(pipe, &header, sizeof header, TRUE, end);
    if (status == 0)
        status = TransferBy(pipe, (void*)path, header.cbPath, TRUE, end);
    if (status == 0 && header.cbData)
        status = TransferBy(pipe, (void*)image, header.cbData, TRUE, end);
    BYTE answer[4];
    end = GetTickCount64() + SERVICE_ANSWER_TIMEOUT_MS;
    if (status == 0)
        status = TransferBy(pipe, answer, sizeof answer, FALSE, end);
    if (status == 0)
        status = answer[0] | answer[1] << 8 | answer[2] << 16 | (DWORD)answer[3] << 24;
    return status;
}

// TRUE unless the service is not there at all; *status is then its answer,
// or the error that cut the exchange short, a failed attempt for the
// caller. Once a request went out it is never sent again another way: it
// may have been carried out.
BOOL RunServiceRegOperation(DWORD op, HKEY root, LPCWSTR path, const BYTE* image, DWORD size,
                                   DWORD* status)
{
    BOOL noService = FALSE;
    UniqueFile pipe(ConnectToService(status, &noService));
    if (!pipe && noService) {
        LogPrintf(64, L"RunElevatedRegOperation", L",service not available,error %d", *status);
        return FALSE;
    }
    if (!pipe) {
        LogPrintf(LOG_W, L"RunElevatedRegOperation", L",service busy,error %d", *status);
        return TRUE;
    }
    *status = ExchangeWithService(pipe.get(), op, root, path ? path : L"", image, size);
    LogPrintf(64, L"RunElevatedRegOperation", L",service,status %d", *status);
    return TRUE;
}
