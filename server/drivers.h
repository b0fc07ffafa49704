// Target driver table: which printer drivers the module handles, and the
// page-description-language identifier each keeps its per-user settings under.
#pragma once
#include <windows.h>

#define CCH_DRIVER_LINE 1025
#define CCH_DRIVER_KEYS 32767

// Builds the table: the built-in lines, then [Drivers] of the common settings
// file. FALSE when the table's memory cannot be had (a start-up failure).
BOOL ReadTargetDriver(LPCWSTR commonIni);
// Parses one "match,suffix,PDL" line of n characters (terminator included).
BOOL SetDrvFromLine(HANDLE heap, LPCWSTR line, DWORD n);
// The PDL identifier of the first matching line, or NULL.
LPCWSTR GetPDL(LPCWSTR printerName);
BOOL GetDriverName(LPWSTR driver /* MAX_PATH */, LPCWSTR printerName);
// The PDL identifier for a driver name itself (no spooler query), or NULL.
LPCWSTR MatchTargetDriver(LPCWSTR driverName);
