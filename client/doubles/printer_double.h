// Local printer double: see printer_double.cpp for how printers are set up.
#pragma once
#include <windows.h>
#include <winspool.h>

void SimPrinterKey(LPWSTR key, DWORD cch);   // HKEY_CURRENT_USER subkey holding the printers
LONG SimPrinterOpenCount();                  // handles opened and not yet closed
LONG SimPrinterOpenAttempts(LPWSTR lastName, DWORD cch);   // OpenPrinterW calls so far, and the last name
