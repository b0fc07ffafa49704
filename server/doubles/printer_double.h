// Print spooler double for test and simulation builds: the server's printers
// with their drivers, attributes (PRINTER_ATTRIBUTE_TS for redirected ones),
// device modes, and the per-user device mode that SetPrinterW level 9 stores.
#pragma once
#include <windows.h>
#include <vector>

namespace PrinterDouble {

using Bytes = std::vector<BYTE>;

void Reset();
// A device mode of the given driver version followed by `extra` private bytes.
Bytes MakeDevMode(LPCWSTR deviceName, WORD driverVersion, WORD extra = 0, BYTE fill = 0x5A);
void Add(LPCWSTR name, LPCWSTR driver, DWORD attributes, const Bytes& devMode = Bytes());
// Adding a printer signals every open change notification (with its name,
// to a caller that asked for names).
// Another session's printer: told of to every notification, never listed.
void AddOtherSession(LPCWSTR name);
// The printer's driver and default device mode change (a driver installed
// after its printer), told of as a change of that printer.
void SetDriver(LPCWSTR name, LPCWSTR driver, const Bytes& devMode);
void FailEnum(DWORD error);                  // both EnumPrintersW calls fail
// FindFirstPrinterChangeNotification fails with this error (0: works again).
void FailNotify(DWORD error);
// The next `calls` FindNextPrinterChangeNotification calls fail, as after a
// spooler restart.
void FailNextNotify(int calls);
int OpenNotifications();   // found and not yet closed
void FailOpen(LPCWSTR name, DWORD error);
void FailGetPrinter(LPCWSTR name, DWORD error);
void FailSetLevel9(LPCWSTR name, DWORD error);
// The per-user device mode set through level 9; false when none was set.
bool GetLevel9(LPCWSTR name, Bytes* devMode);
int OpenHandles();   // opened and not yet closed
// The security descriptor that level 3 returns (SDDL); every printer starts
// with one that lets everyone use it.
bool SetSecurity(LPCWSTR name, LPCWSTR sddl);

}  // namespace PrinterDouble
