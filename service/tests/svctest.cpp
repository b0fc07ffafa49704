#include "svctest.h"
#include <string.h>
#include "module.h"
#include "printer_double.h"
#include "service.h"

DWORD OwnSession()
{
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return session;
}

std::wstring AddPrinter(LPCWSTR stem, DWORD session, DWORD attributes)
{
    WCHAR name[128];
    FormatStr(name, ARRAYSIZE(name), L"QvSvc %s %lu (redirected %lu)", stem, GetCurrentProcessId(), session);
    if (attributes != MAXDWORD)
        PrinterDouble::Add(name, L"Halvren Office Dravo", attributes);
    return name;
}

std::wstring DriverDataPath(const std::wstring& printer)
{
    return std::wstring(PRINTERS_KEY) + L"\\" + printer + L"\\PrinterDriverData";
}

std::vector<BYTE> RequestBytes(DWORD op, HKEY root, const std::wstring& path, const std::vector<BYTE>& image)
{
    REGREQUESTHEADER h = {op, 0, (ULONGLONG)(LONG_PTR)root, (DWORD)(path.size() + 1) * 2, (DWORD)image.size()};
    std::vector<BYTE> bytes(sizeof h + h.cbPath + image.size());
    memcpy(&bytes[0], &h, sizeof h);
    memcpy(&bytes[sizeof h], path.c_str(), h.cbPath);
    if (!image.empty())
        memcpy(&bytes[sizeof h + h.cbPath], image.data(), image.size());
    return bytes;
}

HANDLE ConnectPipe()
{
    WaitNamedPipeW(RegServicePipeName(), 5000);
    return CreateFileW(RegServicePipeName(), REG_SERVICE_PIPE_ACCESS, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

DWORD ReadAnswer(HANDLE pipe)
{
    DWORD status = 0, got = 0;
    if (!ReadFile(pipe, &status, sizeof status, &got, nullptr) || got != sizeof status)
        return 0xDEAD;
    return status;
}

DWORD Exchange(const std::vector<BYTE>& bytes)
{
    HANDLE pipe = ConnectPipe();
    if (pipe == INVALID_HANDLE_VALUE)
        return 0xDEAD;
    DWORD put = 0;
    DWORD status = WriteFile(pipe, bytes.data(), (DWORD)bytes.size(), &put, nullptr) ? ReadAnswer(pipe) : 0xDEAD;
    CloseHandle(pipe);
    return status;
}

static DWORD WINAPI ServeThread(LPVOID stop)
{
    return RunPipeServer((HANDLE)stop);
}

ServiceRun::ServiceRun() : folder_(L"qvsvc")
{
    LogStartAt(folder_.path().c_str(), L"svctest", 5);
    stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, ServeThread, stop_, 0, nullptr);
    for (int i = 0; i < 100 && !WaitNamedPipeW(RegServicePipeName(), 50); i++)
        Sleep(20);
}

ServiceRun::~ServiceRun()
{
    Stop();
    CloseHandle(thread_);
    CloseHandle(stop_);
    LogEnd();
}

DWORD ServiceRun::Stop(DWORD ms)
{
    SetEvent(stop_);
    if (WaitForSingleObject(thread_, ms) != WAIT_OBJECT_0)
        return 0xDEAD;
    DWORD code = 0;
    GetExitCodeThread(thread_, &code);
    return code;
}

