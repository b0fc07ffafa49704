#include "hostsession.h"
#include <string.h>
#include "tool_runner.h"

HostSession::HostSession(const std::wstring& library, const std::wstring& options)
{
    WORD port = 0;
    listener_ = SimLinkListen(&port);
    if (listener_ == INVALID_SOCKET)
        return;
    std::wstring args = L"\"" + library + L"\" " + std::to_wstring(port) + L" " + options;
    if (!StartProgram(SimFolder() + L"qv_rdphost.exe", args, &pi_))
        return;
    link_ = SimLinkAccept(listener_, 30000);
}

HostSession::~HostSession()
{
    Finish();
    if (listener_ != INVALID_SOCKET)
        closesocket(listener_);
}

bool HostSession::Connect(const std::wstring& serverName)
{
    return started() && SimLinkSendConnect(link_, serverName.c_str());
}

bool HostSession::Disconnect()
{
    return started() && SimLinkSend(link_, SIMLINK_DISCONNECT, nullptr, 0);
}

bool HostSession::Write(const Bytes& serverWrite)
{
    return started() && SimLinkSend(link_, SIMLINK_SERVER_WRITE, serverWrite.data(), (DWORD)serverWrite.size());
}

bool HostSession::Send(const Bytes& message)
{
    for (const Bytes& block : CutBlocks(message))
        if (!Write(block))
            return false;
    return true;
}

bool HostSession::Pull(DWORD timeoutMs)
{
    DWORD type = 0;
    Bytes payload;
    if (!started() || SimLinkRecv(link_, timeoutMs, &type, &payload) != SIMLINK_FRAME)
        return false;
    if (type == SIMLINK_CLIENT_WRITE)
        stream_.insert(stream_.end(), payload.begin(), payload.end());
    return true;
}

bool HostSession::Reply(Bytes* message, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (stream_.size() >= 8) {
            DWORD len;
            memcpy(&len, stream_.data(), 4);
            if (stream_.size() - 8 >= len) {
                message->assign(stream_.begin(), stream_.begin() + 8 + len);
                stream_.erase(stream_.begin(), stream_.begin() + 8 + len);
                return true;
            }
        }
        DWORD spent = GetTickCount() - start;
        if (spent >= timeoutMs || !Pull(timeoutMs - spent))
            return false;
    }
}

bool HostSession::Silent(DWORD ms)
{
    size_t before = stream_.size();
    DWORD start = GetTickCount();
    while (GetTickCount() - start < ms)
        if (!Pull(ms - (GetTickCount() - start)))
            break;
    return stream_.size() == before;
}

Bytes HostSession::Request(const Bytes& message)
{
    Bytes reply;
    if (!Send(message) || !Reply(&reply))
        reply.clear();
    return reply;
}

DWORD HostSession::Finish(DWORD timeoutMs)
{
    if (finished_)
        return exitCode_;
    finished_ = true;
    if (link_ != INVALID_SOCKET) {
        SimLinkClose(link_);
        link_ = INVALID_SOCKET;
    }
    exitCode_ = 0xDEAD;
    if (pi_.hProcess) {
        if (WaitForSingleObject(pi_.hProcess, timeoutMs) != WAIT_OBJECT_0)
            TerminateProcess(pi_.hProcess, 0xDEAD);
        GetExitCodeProcess(pi_.hProcess, &exitCode_);
        CloseHandle(pi_.hProcess);
        CloseHandle(pi_.hThread);
        pi_ = {};
    }
    return exitCode_;
}

void HostSession::Kill()
{
    if (pi_.hProcess) {
        TerminateProcess(pi_.hProcess, 0xDEAD);
        WaitForSingleObject(pi_.hProcess, 30000);
    }
    Finish(0);
}

std::wstring InstallSimLibrary(const ScratchDir& dir, const std::wstring& name)
{
    std::wstring target = dir.File(name);
    CopyFileW((SimFolder() + CLIENT_LIB).c_str(), target.c_str(), FALSE);
    return target;
}
