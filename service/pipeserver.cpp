// The service's pipe: one instance always listening, a thread per
// connection, at most SVC_MAX_CLIENTS at once and SVC_MAX_PER_PROCESS of one
// client process, every read and write bounded in time and cancelled at stop.
#include "service.h"
#include "log.h"
#include "module.h"
#include "raii.h"
#include <sddl.h>
#include <utility>

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

// A second request, or any byte after the first one's end.
BOOL PipeHasMore(void* context)
{
    DWORD available = 0;
    return PeekNamedPipe(((const Deadline*)context)->pipe, nullptr, 0, nullptr, &available, nullptr)
           && available != 0;
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

// Connections of one client process at once: the server module sends one
// request at a time, so more than this is somebody holding slots.
struct ClientCount {
    ULONG pid;
    int connections;
};

struct Listener {
    HANDLE stop;
    UniqueHandle slots;
    CRITICAL_SECTION lock;   // guards clients
    ClientCount clients[SVC_MAX_CLIENTS];
    PSECURITY_DESCRIPTOR sd;
};

struct Connection {
    UniqueFile pipe;
    ULONG pid;
    Listener* listener;
};

// Counts a connection of pid in, or FALSE when that process has its share.
BOOL AdmitClient(Listener* l, ULONG pid)
{
    CritSecLock lock(&l->lock);
    ClientCount* free = nullptr;
    for (ClientCount& c : l->clients) {
        if (c.connections && c.pid == pid) {
            if (c.connections >= SVC_MAX_PER_PROCESS)
                return FALSE;
            c.connections++;
            return TRUE;
        }
        if (!c.connections && !free)
            free = &c;
    }
    if (!free)
        return FALSE;
    *free = {pid, 1};
    return TRUE;
}

void DismissClient(Listener* l, ULONG pid)
{
    CritSecLock lock(&l->lock);
    for (ClientCount& c : l->clients)
        if (c.connections && c.pid == pid) {
            c.connections--;
            return;
        }
}

DWORD WINAPI ConnectionThread(LPVOID param)
{
    Connection* c = (Connection*)param;
    ServeRequest(c->pipe.get(), c->listener->stop);
    Listener* l = c->listener;
    DismissClient(l, c->pid);
    delete c;
    ReleaseSemaphore(l->slots.get(), 1, nullptr);
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

HANDLE CreateInstance(const Listener& l, DWORD firstFlag)
{
    SECURITY_ATTRIBUTES sa = {sizeof sa, l.sd, FALSE};
    HANDLE pipe = CreateNamedPipeW(RegServicePipeName(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | firstFlag,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                   PIPE_UNLIMITED_INSTANCES, 64, 4096, 0, &sa);
    if (pipe == INVALID_HANDLE_VALUE)
        LogPrintf(LOG_E, L"RunPipeServer", L",CreateNamedPipe,error %d", GetLastError());
    return pipe;
}

// Waits for a client on a listening instance; FALSE at stop or on error.
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

// Gives a connected client its thread, or drops it: a process over its
// share is cut off at once, everyone else waits for a free slot (meanwhile
// the next instance listens).
void HandOver(Listener* l, UniqueFile pipe)
{
    ULONG pid = 0;
    GetNamedPipeClientProcessId(pipe.get(), &pid);
    if (!AdmitClient(l, pid)) {
        LogPrintf(LOG_W, L"RunPipeServer", L",pid %d,too many connections", pid);
        return;
    }
    if (!TakeSlot(l->slots.get(), l->stop)) {
        DismissClient(l, pid);
        return;
    }
    auto* c = new Connection{std::move(pipe), pid, l};
    HANDLE thread = CreateThread(nullptr, 0, ConnectionThread, c, 0, nullptr);
    if (thread) {
        CloseHandle(thread);   // the thread gives the slot back
        return;
    }
    LogPrintf(LOG_E, L"RunPipeServer", L",CreateThread,error %d", GetLastError());
    DismissClient(l, pid);
    delete c;
    ReleaseSemaphore(l->slots.get(), 1, nullptr);
}

// The stop cancels every connection's read and write; a registry operation
// under way still finishes. Whatever has not ended by then is left to the
// process's end, with a line in the log.
BOOL WaitForConnections(Listener* l)
{
    ULONGLONG end = GetTickCount64() + SVC_STOP_WAIT_MS;
    for (int i = 0; i < SVC_MAX_CLIENTS; i++) {
        ULONGLONG now = GetTickCount64();
        if (WaitForSingleObject(l->slots.get(), now >= end ? 0 : (DWORD)(end - now)) != WAIT_OBJECT_0) {
            LogPrintf(LOG_E, L"RunPipeServer", L",stop,connections left,%d", SVC_MAX_CLIENTS - i);
            return FALSE;
        }
    }
    return TRUE;
}

}  // namespace

DWORD ServeRequest(HANDLE pipe, HANDLE stop)
{
    InitOnceExecuteOnce(&g_registryLockOnce, InitRegistryLock, nullptr, nullptr);
    ULONG pid = 0, session = 0;
    GetNamedPipeClientProcessId(pipe, &pid);
    GetPipeClientSession(pipe, &session);
    Deadline d = {pipe, stop, GetTickCount64() + SVC_READ_TIMEOUT_MS};
    RegRequestSource source = {ReadPipeExactly, &d, MAXULONGLONG, REG_REQUEST_IMAGE_MAX, PipeHasMore};
    RegRequest request;
    DWORD status = ReadRegRequestFrom(source, &request);
    if (status == ERROR_OPERATION_ABORTED)
        return status;   // the service is stopping: nobody to answer
    if (status != 0) {
        LogPrintf(LOG_W, L"ServeRequest", L",pid %d,session %d,request,error %d", pid, session, status);
    } else {
        // What was checked is what gets written: no other request of ours
        // runs between the two.
        CritSecLock lock(&g_registryLock);
        status = AuthorizeRegRequest(pipe, request);
        if (status == 0)
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
    auto* l = new Listener{stop, UniqueHandle(), {}, {}, nullptr};
    InitializeCriticalSection(&l->lock);
    DWORD result = 0;
    if (!MakePipeSecurity(&l->sd)) {
        result = GetLastError();
        LogPrintf(LOG_E, L"RunPipeServer", L",ConvertStringSecurityDescriptorToSecurityDescriptor,error %d", result);
    }
    if (result == 0) {
        l->slots.reset(CreateSemaphoreW(nullptr, SVC_MAX_CLIENTS, SVC_MAX_CLIENTS, nullptr));
        result = l->slots ? 0 : GetLastError();
    }
    // The first instance is ours or the service does not run: a pipe that
    // some user created first would receive the server's requests.
    UniqueFile listening(result == 0 ? CreateInstance(*l, FILE_FLAG_FIRST_PIPE_INSTANCE) : INVALID_HANDLE_VALUE);
    if (result == 0 && !listening)
        result = GetLastError();
    while (listening && AcceptClient(listening.get(), stop)) {
        // The next instance listens before this one is handed over, so that
        // the name always has an instance of ours, however busy the slots.
        UniqueFile next(CreateInstance(*l, 0));
        HandOver(l, std::move(listening));
        for (int i = 0; !next && WaitForSingleObject(stop, 100) == WAIT_TIMEOUT && i < 50; i++)
            next.reset(CreateInstance(*l, 0));   // out of resources: soon again
        listening = std::move(next);
    }
    listening.reset();
    if (l->slots && !WaitForConnections(l))
        return result;   // the threads still use the listener: it stays
    LocalFree(l->sd);
    DeleteCriticalSection(&l->lock);
    delete l;
    return result;
}
