// Scaffolding of the service's tests: the serving loop in this process
// (the spooler is the double), redirected printers of this process's
// session, and a plain pipe client.
#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "scratch.h"

#define PRINTERS_KEY L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers"

DWORD OwnSession();
// "QvSvc <stem> <pid> (redirected <session>)", added to the spooler double
// with the given attributes unless attributes is MAXDWORD.
std::wstring AddPrinter(LPCWSTR stem, DWORD session, DWORD attributes);
std::wstring DriverDataPath(const std::wstring& printer);

// The request as bytes, exactly as the server lays it out.
std::vector<BYTE> RequestBytes(DWORD op, HKEY root, const std::wstring& path, const std::vector<BYTE>& image);

// A pipe client; Exchange sends the bytes and returns the answer, or
// 0xDEAD when none came.
HANDLE ConnectPipe();
DWORD ReadAnswer(HANDLE pipe);
DWORD Exchange(const std::vector<BYTE>& bytes);

class ServiceRun {
public:
    ServiceRun();
    ~ServiceRun();
    ServiceRun(const ServiceRun&) = delete;
    ServiceRun& operator=(const ServiceRun&) = delete;
    // Signals the stop; the loop's result, or 0xDEAD when it did not end in time.
    DWORD Stop(DWORD ms = 10000);
    std::string Log() const;
private:
    ScratchFolder folder_;
    HANDLE stop_ = nullptr;
    HANDLE thread_ = nullptr;
};
