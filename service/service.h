// The service that writes printers' driver data for the server module: it
// holds no secret and checks every request against the pipe client asking.
#pragma once
#include <windows.h>
#include "raii.h"
#include "regrequest.h"

// Clients served at once; one more waits, connected, for a free slot while
// the next instance listens.
#define SVC_MAX_CLIENTS 8
// Connections of one client process at once; more are cut off at once.
#define SVC_MAX_PER_PROCESS 2
// How long the stop waits for the connections it cancelled.
#define SVC_STOP_WAIT_MS 3000
// The whole request must arrive within this time. The server writes it in
// one go right after connecting (16 MB, the largest, takes well under a
// second on a loaded machine), so this only ever ends clients that are stuck
// or hostile, and frees their slot soon.
#define SVC_READ_TIMEOUT_MS 5000
// After the answer: how long the client has to take it and hang up.
#define SVC_LINGER_MS 2000

// Serves the pipe until stop is signalled; returns once every connection
// has ended, or SVC_STOP_WAIT_MS after the stop at most. 0, or the error
// that kept the pipe from being created.
DWORD RunPipeServer(HANDLE stop);
// One connection: reads the request, checks it, carries it out, answers.
// Returns the status (answered or not).
DWORD ServeRequest(HANDLE pipe, HANDLE stop);
// 0 when the pipe's client may have the request carried out, else
// REG_STATUS_BAD_ARGUMENT, with a log line saying why.
DWORD AuthorizeRegRequest(HANDLE pipe, const RegRequest& request);
// The session of the pipe's client (clientsession.cpp, or the simulated
// session in the simulation build).
BOOL GetPipeClientSession(HANDLE pipe, ULONG* session);
#ifndef ERROR_STOPPED_ON_SYMLINK   // Windows' own code, missing from these headers
#define ERROR_STOPPED_ON_SYMLINK 681L
#endif
// The log folder (only administrators may write it) and the log started in it.
void StartServiceLog();
// The folders from a trusted base down to the log folder, held open.
struct LogFolderHold {
    UniqueFile folders[8];
};
// Makes or opens base\relative one folder at a time: no reparse point on
// the way, the last one made with MakeLogFolderSecurity's descriptor or, when
// it exists, owned by local system, the administrators or this process's
// user (never re-owned). 0, or why the folder cannot be used.
DWORD PrepareLogFolder(LPCWSTR base, LPCWSTR relative, LogFolderHold* hold);
BOOL MakeLogFolderSecurity(PSECURITY_DESCRIPTOR* sd);
