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

// The service's pipe when the service is there; an invalid handle and the
// error otherwise.
static HANDLE ConnectToService(DWORD* error)
{
    for (int attempt = 0; attempt < 2; attempt++) {
        if (!WaitNamedPipeW(RegServicePipeName(), SERVICE_CONNECT_TIMEOUT_MS))
            break;
        // Impersonation level, no more: the service opens the printer as
        // this user to see that the user may use it.
        HANDLE pipe = CreateFileW(RegServicePipeName(), REG_SERVICE_PIPE_ACCESS, 0, nullptr, OPEN_EXISTING,
                                  SECURITY_SQOS_PRESENT | SECURITY_IMPERSONATION, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            DWORD untrusted = CheckPipeOwner(pipe);
            if (untrusted == 0)
                return pipe;
            LogPrintf(LOG_E, L"RunElevatedRegOperation", L",service pipe,owner not trusted,error %d", untrusted);
            CloseHandle(pipe);
            SetLastError(untrusted);
            break;
        }
        if (GetLastError() != ERROR_PIPE_BUSY)
            break;   // another client may take the freed instance first
    }
    *error = GetLastError();
    return INVALID_HANDLE_VALUE;
}

// TRUE when the service took the request; *status is then its answer, or
// the error that cut the exchange short. Once a request went out it is never
// sent again another way: it may have been carried out.
BOOL RunServiceRegOperation(DWORD op, HKEY root, LPCWSTR path, const BYTE* image, DWORD size,
                                   DWORD* status)
{
    DWORD error = 0;
    UniqueFile pipe(ConnectToService(&error));
    if (!pipe) {
        LogPrintf(64, L"RunElevatedRegOperation", L",service not available,error %d", error);
        return FALSE;
    }
    *status = WriteRegRequest(pipe.get(), op, root, path, image, size);
    BYTE answer[4];
    DWORD got = 0;
    if (*status == 0 && !ReadFile(pipe.get(), answer, sizeof answer, &got, nullptr))
        *status = GetLastError();
    else if (*status == 0 && got != sizeof answer)
        *status = ERROR_BROKEN_PIPE;
    else if (*status == 0)
        *status = answer[0] | answer[1] << 8 | answer[2] << 16 | (DWORD)answer[3] << 24;
    LogPrintf(64, L"RunElevatedRegOperation", L",service,status %d", *status);
    return TRUE;
}

