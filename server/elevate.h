// Registry work under HKEY_LOCAL_MACHINE that the session user may not do:
// the service carries the operation out when it runs; else the operation goes
// into a request file and the administrator tool performs it under the
// administrator account kept in the common settings file.
#pragma once
#include <windows.h>

#define ADMIN_TOOL_NAME L"Quorvane_Admin.exe"
#define REG_REQUEST_PREFIX L"RDP"
// How long to wait for the running service's pipe to take us; a service
// that stays busy longer costs the caller one failed attempt, never the
// fallback.
#define SERVICE_CONNECT_TIMEOUT_MS 10000
// How long the request may take to go out, and then its answer to come.
#define SERVICE_ANSWER_TIMEOUT_MS 10000

// Blocks until the service has answered or the administrator tool has
// ended; the answer or the exit code is the status.
DWORD RunElevatedRegOperation(DWORD op, HKEY root, LPCWSTR path, const BYTE* image, DWORD size);
// FALSE only when the service is not installed or not running; else *status
// is its answer, or the error that cut the exchange short (svcclient.cpp).
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

// The request file's descriptor: owned by this user, opened by this user and
// the administrators only (LocalFree it).
BOOL MakeRequestFileSecurity(PSECURITY_DESCRIPTOR* sd);
class TempFile;
// A new request file in folder with that descriptor, open for writing and
// shared with readers only; *request owns its name.
HANDLE CreateRequestFile(LPCWSTR folder, TempFile* request);
// Writes the request (header, path, image) into an open file; 0 or the error.
DWORD WriteRegRequest(HANDLE file, DWORD op, HKEY root, LPCWSTR path, const BYTE* image, DWORD size);

// Whether a pipe owned by `owner` may be the service's: local system, the
// administrators, or our own user (`self`).
BOOL IsTrustedPipeOwner(PSID owner, PSID self);
// 0 when the pipe may be the service's (see IsTrustedPipeOwner), else why not.
DWORD CheckPipeOwner(HANDLE pipe);
