// The elevated request: one registry operation on a printer's driver data
// under HKEY_LOCAL_MACHINE, as the server module hands it to the
// administrator tool (in a file) or to the service (over its pipe). Both read
// it with the same reader and carry it out with the same checks.
#pragma once
#include <windows.h>
#include "regops.h"

// The service that carries requests out for the server module, and its
// pipe: the request in, its status back as one 32-bit little-endian value.
#define REG_SERVICE_NAME L"Quorvane_Svc"
#define REG_SERVICE_PIPE L"\\\\.\\pipe\\Quorvane_Svc"
LPCWSTR RegServicePipeName();   // REG_SERVICE_PIPE
// What a pipe client may do: read, write data, wait. Not FILE_APPEND_DATA,
// which on a pipe means creating an instance of it.
#define REG_SERVICE_PIPE_ACCESS (FILE_GENERIC_READ | FILE_WRITE_DATA)

// The largest image the service takes over its pipe: what the server itself
// accepts from the channel, so no request the server can make is refused.
#define REG_REQUEST_IMAGE_MAX (16u << 20)

struct RegRequest {
    DWORD op;
    HKEY root;
    WCHAR path[CCH_REG_KEY_PATH];
    BYTE* image;        // process heap, REG_OP_IMPORT only
    DWORD imageSize;
    RegRequest() : op(0), root(nullptr), image(nullptr), imageSize(0) { path[0] = 0; }
    ~RegRequest();
    RegRequest(const RegRequest&) = delete;
    RegRequest& operator=(const RegRequest&) = delete;
};

// Where the request's bytes come from. read fills exactly size bytes and
// returns 0, the read's Windows error, or REG_STATUS_BAD_ARGUMENT when the
// source ends first.
struct RegRequestSource {
    DWORD (*read)(void* context, void* buffer, DWORD size);
    void* context;
    // Bytes the source holds (header included), which must be exactly the
    // request's; MAXULONGLONG for a stream of unknown length.
    ULONGLONG total;
    DWORD imageMax;     // largest image accepted
    // For a stream: TRUE when bytes follow the request's end (NULL: none can).
    BOOL (*more)(void* context);
};

// Reads the header first and checks every size against the source's bounds
// before anything is allocated; 0, a read error or REG_STATUS_BAD_ARGUMENT.
DWORD ReadRegRequestFrom(const RegRequestSource& source, RegRequest* request);
// Runs a request that names a printer's driver data under
// HKEY_LOCAL_MACHINE; refuses everything else with REG_STATUS_BAD_ARGUMENT,
// and a printer whose key is not there with ERROR_INVALID_PRINTER_NAME.
DWORD PerformRegRequest(const RegRequest& request);

// Why CheckRegRequest refused: a word for the log and a number beside it.
struct RegRequestRefusal {
    LPCWSTR reason;   // "root", "key", "name", "session", "printer", "image"
    DWORD detail;
};
// The rules that the service and the administrator tool's worker share: the
// request names the driver data of a printer that the spooler knows as a
// redirected one (PRINTER_ATTRIBUTE_TS), whose name says it belongs to
// `session` (the caller's), and an import carries a valid image. 0, or
// REG_STATUS_BAD_ARGUMENT with *why filled. printer (CCH_REG_KEY_PATH) gets
// the printer's name (requestcheck.cpp, links the spooler).
DWORD CheckRegRequest(const RegRequest& request, DWORD session, LPWSTR printer, RegRequestRefusal* why);
BOOL IsPrinterDriverDataPath(LPCWSTR path);
// The printer's name inside such a path, into name (CCH_REG_KEY_PATH).
BOOL GetDriverDataPrinter(LPCWSTR path, LPWSTR name);
