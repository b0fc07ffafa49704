// Scaffolding of the service's tests and bench: the serving loop in this
// process (the spooler is the double), a redirected printer of this
// process's session, and a plain pipe client.
#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "log.h"
#include "scratch.h"

#define PRINTERS_KEY L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers"

DWORD OwnSession();
// "QvSvc <stem> <pid> (redirected <session>)", added to the spooler double
// unless attributes is MAXDWORD.
std::wstring AddPrinter(LPCWSTR stem, DWORD session, DWORD attributes);
std::wstring DriverDataPath(const std::wstring& printer);
std::vector<BYTE> RequestBytes(DWORD op, HKEY root, const std::wstring& path, const std::vector<BYTE>& image);

HANDLE ConnectPipe();
// The answer; 0xDEAD when none came.
DWORD ReadAnswer(HANDLE pipe);
DWORD Exchange(const std::vector<BYTE>& bytes);

class ServiceRun {
public:
    ServiceRun();
    ~ServiceRun();
    // The loop's result, or 0xDEAD when it did not end in time.
    DWORD Stop(DWORD ms = 10000);
    std::string Log() const { return ReadBytes(GetLogFilePath()); }
private:
    ScratchFolder folder_;
    HANDLE stop_ = nullptr;
    HANDLE thread_ = nullptr;
};
