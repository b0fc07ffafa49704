// The administrator account a test stores in a common settings file, as the
// administrator tool would: enciphered, and accepted by the logon double of
// the test's processes (through the environment they inherit).
#pragma once
#include <windows.h>
#include <string>

// Also makes `ini` the settings file that the server's code reads. False
// when the secret could not be enciphered.
bool StoreAdminAccount(const std::wstring& ini, LPCWSTR user = L"qvadmin", LPCWSTR secret = L"s3cret!");
