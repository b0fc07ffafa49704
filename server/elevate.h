// Registry work under HKEY_LOCAL_MACHINE that the session user may not do:
// the service carries the operation out when it runs; else the operation goes
// into a request file and the administrator tool performs it under the
// administrator account kept in the common settings file.
#pragma once
#include <windows.h>

#define ADMIN_TOOL_NAME L"Quorvane_Admin.exe"
#define REG_REQUEST_PREFIX L"RDP"
// How long to wait for a free instance of the service's pipe.
#define SERVICE_CONNECT_TIMEOUT_MS 2000

// Blocks until the service has answered or the administrator tool has
// ended; the answer or the exit code is the status.
DWORD RunElevatedRegOperation(DWORD op, HKEY root, LPCWSTR path, const BYTE* image, DWORD size);
// TRUE when the service took the request; *status is then its answer, or the
// error that cut the exchange short (svcclient.cpp).
BOOL RunServiceRegOperation(DWORD op, HKEY root, LPCWSTR path, const BYTE* image, DWORD size, DWORD* status);
// The same through a request file and the administrator tool under the
// stored account; its exit code, or why it did not run (admintool.cpp).
DWORD RunAdminToolRegOperation(DWORD op, HKEY root, LPCWSTR path, const BYTE* image, DWORD size);
// Starts application under the account with " " + commandLine as its command
// line, waits for it and returns its exit code, or the error that kept it
// from running.
DWORD CreateProcessAsAdmin(LPCWSTR user, LPCWSTR secret, LPCWSTR application, LPCWSTR commandLine);

// Removes the request files that an instance killed while its tool ran
// left in the user's temporary folder; files still in use stay.
void DeleteLeftoverRequests();

// Writes the request (header, path, image) into an open file; 0 or the error.
DWORD WriteRegRequest(HANDLE file, DWORD op, HKEY root, LPCWSTR path, const BYTE* image, DWORD size);

// Whether a pipe owned by `owner` may be the service's: local system, the
// administrators, or our own user (`self`).
BOOL IsTrustedPipeOwner(PSID owner, PSID self);
// 0 when the pipe may be the service's (see IsTrustedPipeOwner), else why not.
DWORD CheckPipeOwner(HANDLE pipe);
