// A file naming redirected printers for the tools a test starts
// (QV_SIM_SPOOLER): the simulation builds' spooler double lists them, and the
// tool's session is the given one (the test's own unless told). Not QVSIM,
// which would turn the test process's own doubles into a simulation. Set for
// the test's lifetime, then removed.
#pragma once
#include <windows.h>
#include <string>
#include "scratch.h"

class SimPrinters {
public:
    explicit SimPrinters(DWORD session = MAXDWORD) : folder_(L"qvsim")
    {
        if (session == MAXDWORD)
            ProcessIdToSessionId(GetCurrentProcessId(), &session);
        ini_ = folder_ / L"sim.ini";
        WritePrivateProfileStringW(L"Session", L"Id", std::to_wstring(session).c_str(), ini_.c_str());
        SetEnvironmentVariableW(L"QV_SIM_SPOOLER", ini_.c_str());
    }
    ~SimPrinters()
    {
        SetEnvironmentVariableW(L"QV_SIM_SPOOLER", nullptr);
        WritePrivateProfileStringW(nullptr, nullptr, nullptr, ini_.c_str());   // flush the cache
    }
    SimPrinters(const SimPrinters&) = delete;
    SimPrinters& operator=(const SimPrinters&) = delete;
    void Add(const std::wstring& name, DWORD attributes = 0x8000 /* PRINTER_ATTRIBUTE_TS */)
    {
        std::wstring line = name + L"|Halvren Office Dravo|" + std::to_wstring(attributes) + L"|0";
        WritePrivateProfileStringW(L"Printers", std::to_wstring(++count_).c_str(), line.c_str(), ini_.c_str());
    }
private:
    ScratchFolder folder_;
    std::wstring ini_;
    int count_ = 0;
};
