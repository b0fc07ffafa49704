// The service's pipe: a thread per connection, at most SVC_MAX_CLIENTS at
// once, every read and write bounded in time and cancelled at stop.
#include "service.h"
#include "log.h"
#include "module.h"
#include "raii.h"
#include <sddl.h>

namespace {

// Registry operations one at a time: two requests for the same printer's key
// must not interleave their backup and import.
CRITICAL_SECTION g_registryLock;
INIT_ONCE g_registryLockOnce = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK InitRegistryLock(PINIT_ONCE, PVOID, PVOID*)
{
    InitializeCriticalSection(&g_registryLock);
    return TRUE;
}

struct Deadline {
    HANDLE pipe;
    HANDLE stop;
    ULONGLONG end;   // GetTickCount64; MAXULONGLONG: no time limit
};

// Ends one overlapped operation: done, timed out or stopped. A wait that
// gives up cancels the operation and waits for the cancellation, so that no
// buffer is written after return.
DWORD FinishIo(const Deadline& d, OVERLAPPED* ov, BOOL started, DWORD* bytes)
{
    *bytes = 0;
    if (!started && GetLastError() != ERROR_IO_PENDING)
        return GetLastError();
    ULONGLONG now = GetTickCount64(), left = now >= d.end ? 0 : d.end - now;
    HANDLE handles[2] = {ov->hEvent, d.stop};
    DWORD wait = WaitForMultipleObjects(2, handles, FALSE, left >= INFINITE ? INFINITE : (DWORD)left);
    if (wait != WAIT_OBJECT_0) {
        CancelIoEx(d.pipe, ov);
        GetOverlappedResult(d.pipe, ov, bytes, TRUE);
        return wait == WAIT_TIMEOUT ? ERROR_TIMEOUT : ERROR_OPERATION_ABORTED;
    }
    return GetOverlappedResult(d.pipe, ov, bytes, FALSE) ? 0 : GetLastError();
}

DWORD TransferExactly(const Deadline& d, BYTE* buffer, DWORD size, BOOL write)
{
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event)
        return GetLastError();
    for (DWORD done = 0; done < size;) {
        OVERLAPPED ov = {};
        ov.hEvent = event.get();
        BOOL started = write ? WriteFile(d.pipe, buffer + done, size - done, nullptr, &ov)
                             : ReadFile(d.pipe, buffer + done, size - done, nullptr, &ov);
        DWORD n = 0, error = FinishIo(d, &ov, started, &n);
        if (error != 0)
            return error;
        if (n == 0)
            return ERROR_BROKEN_PIPE;
        done += n;
    }
    return 0;
}

// The reader's source: a request that ends early or not in time is malformed.
DWORD ReadPipeExactly(void* context, void* buffer, DWORD size)
{
    DWORD error = TransferExactly(*(const Deadline*)context, (BYTE*)buffer, size, FALSE);
    return error == 0 || error == ERROR_OPERATION_ABORTED ? error : REG_STATUS_BAD_ARGUMENT;
}

// The answer, then a short wait for the client to hang up: closing our end
// first could drop the answer before the client has read it.
void Answer(const Deadline& read, DWORD status)
{
    Deadline d = {read.pipe, read.stop, GetTickCount64() + SVC_LINGER_MS};
    BYTE answer[4] = {(BYTE)status, (BYTE)(status >> 8), (BYTE)(status >> 16), (BYTE)(status >> 24)};
    DWORD error = TransferExactly(d, answer, sizeof answer, TRUE);
    if (error != 0) {
        LogPrintf(LOG_W, L"ServeRequest", L",WriteFile,error %d", error);
        return;
    }
    BYTE rest;
    TransferExactly(d, &rest, 1, FALSE);
}

struct Connection {
    UniqueFile pipe;
    HANDLE stop;
    HANDLE slots;
};

DWORD WINAPI ConnectionThread(LPVOID param)
{
    Connection* c = (Connection*)param;
    ServeRequest(c->pipe.get(), c->stop);
    HANDLE slots = c->slots;
    delete c;
    ReleaseSemaphore(slots, 1, nullptr);
    return 0;
}

// Local system and administrators: everything; local users (interactive
// logons, not network ones): read and write data, never a pipe instance of
// their own.
BOOL MakePipeSecurity(PSECURITY_DESCRIPTOR* sd)
{
    WCHAR sddl[128];
    FormatStr(sddl, ARRAYSIZE(sddl), L"D:P(D;;GA;;;NU)(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x%x;;;AU)",
              (unsigned)REG_SERVICE_PIPE_ACCESS);
    return ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, sd, nullptr);
}

// Waits for a client on a new pipe instance; FALSE at stop or on error.
BOOL AcceptClient(HANDLE pipe, HANDLE stop)
{
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event)
        return FALSE;
    OVERLAPPED ov = {};
    ov.hEvent = event.get();
    if (ConnectNamedPipe(pipe, &ov) || GetLastError() == ERROR_PIPE_CONNECTED)
        return TRUE;
    if (GetLastError() != ERROR_IO_PENDING) {
        LogPrintf(LOG_E, L"RunPipeServer", L",ConnectNamedPipe,error %d", GetLastError());
        return FALSE;
    }
    Deadline d = {pipe, stop, MAXULONGLONG};
    DWORD n;
    DWORD error = FinishIo(d, &ov, FALSE, &n);
    if (error != 0 && error != ERROR_OPERATION_ABORTED)
        LogPrintf(LOG_E, L"RunPipeServer", L",ConnectNamedPipe,error %d", error);
    return error == 0;
}

// A slot, or FALSE at stop.
BOOL TakeSlot(HANDLE slots, HANDLE stop)
{
    HANDLE handles[2] = {stop, slots};
    return WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1;
}

}  // namespace

DWORD ServeRequest(HANDLE pipe, HANDLE stop)
{
    InitOnceExecuteOnce(&g_registryLockOnce, InitRegistryLock, nullptr, nullptr);
    ULONG pid = 0, session = 0;
    GetNamedPipeClientProcessId(pipe, &pid);
    GetPipeClientSession(pipe, &session);
    Deadline d = {pipe, stop, GetTickCount64() + SVC_READ_TIMEOUT_MS};
    RegRequestSource source = {ReadPipeExactly, &d, MAXULONGLONG, REG_REQUEST_IMAGE_MAX};
    RegRequest request;
    DWORD status = ReadRegRequestFrom(source, &request);
    if (status == ERROR_OPERATION_ABORTED)
        return status;   // the service is stopping: nobody to answer
    if (status != 0)
        LogPrintf(LOG_W, L"ServeRequest", L",pid %d,session %d,request,error %d", pid, session, status);
    else
        status = AuthorizeRegRequest(pipe, request);
    if (status == 0) {
        CritSecLock lock(&g_registryLock);
        status = PerformRegRequest(request);
    }
    LogPrintf(64, L"ServeRequest", L",pid %d,session %d,%d,%s,%d,status %d", pid, session, request.op,
              request.path, request.imageSize, status);
    Answer(d, status);
    return status;
}

DWORD RunPipeServer(HANDLE stop)
{
    LogScope scope(L"RunPipeServer", 32);
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!MakePipeSecurity(&sd)) {
        DWORD error = GetLastError();
        LogPrintf(LOG_E, L"RunPipeServer", L",ConvertStringSecurityDescriptorToSecurityDescriptor,error %d", error);
        return error;
    }
    SECURITY_ATTRIBUTES sa = {sizeof sa, sd, FALSE};
    UniqueHandle slots(CreateSemaphoreW(nullptr, SVC_MAX_CLIENTS, SVC_MAX_CLIENTS, nullptr));
    DWORD result = slots ? 0 : GetLastError();
    // The first instance is ours or the service does not run: a pipe that
    // some user created first would receive the server's requests.
    DWORD firstFlag = FILE_FLAG_FIRST_PIPE_INSTANCE;
    while (result == 0 && TakeSlot(slots.get(), stop)) {
        auto* c = new Connection{UniqueFile(CreateNamedPipeW(
            RegServicePipeName(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | firstFlag,
            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
            PIPE_UNLIMITED_INSTANCES, 64, 4096, 0, &sa)), stop, slots.get()};
        HANDLE thread = nullptr;
        if (!c->pipe) {
            DWORD error = GetLastError();
            LogPrintf(LOG_E, L"RunPipeServer", L",CreateNamedPipe,error %d", error);
            if (firstFlag)
                result = error;
            else
                WaitForSingleObject(stop, 1000);   // out of resources: try again soon
        } else if (AcceptClient(c->pipe.get(), stop)) {
            thread = CreateThread(nullptr, 0, ConnectionThread, c, 0, nullptr);
            if (!thread)
                LogPrintf(LOG_E, L"RunPipeServer", L",CreateThread,error %d", GetLastError());
        }
        if (c->pipe)
            firstFlag = 0;
        if (thread) {
            CloseHandle(thread);   // the thread gives the slot back
        } else {
            delete c;
            ReleaseSemaphore(slots.get(), 1, nullptr);
        }
    }
    // Every connection sees the stop and ends; their slots come back.
    for (int i = 0; slots && i < SVC_MAX_CLIENTS; i++)
        WaitForSingleObject(slots.get(), INFINITE);
    LocalFree(sd);
    return result;
}
