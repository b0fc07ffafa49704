// The server's end of a simulated connection: starts the Remote Desktop
// client host double on a library file and scripts what the server sends.
#pragma once
#include <winsock2.h>
#include "clienttest.h"
#include "simlink.h"

class HostSession {
public:
    // options: the host double's own (e.g. L"--fail-write 1").
    explicit HostSession(const std::wstring& library, const std::wstring& options = L"");
    ~HostSession();
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    bool started() const { return link_ != INVALID_SOCKET; }
    bool Connect(const std::wstring& serverName);
    bool Disconnect();
    bool Write(const Bytes& serverWrite);        // one server write, delivered as chunks
    bool Send(const Bytes& message);             // the message cut into blocks, one write each
    bool Reply(Bytes* message, DWORD timeoutMs = 20000);   // next reply of the client's byte stream
    bool Silent(DWORD ms);                       // no client byte arrives within ms
    Bytes Request(const Bytes& message);         // Send, then Reply (empty on failure)
    DWORD Finish(DWORD timeoutMs = 30000);       // end the link; the host's exit code
    void Kill();                                 // the host ended outright, nothing of it runs on

private:
    bool Pull(DWORD timeoutMs);
    SOCKET listener_ = INVALID_SOCKET;
    SOCKET link_ = INVALID_SOCKET;
    PROCESS_INFORMATION pi_ = {};
    Bytes stream_;
    bool finished_ = false;
    DWORD exitCode_ = 0;
};

// The simulation library copied into a scratch folder of its own, by default
// under the add-in's file name; returns its full path.
std::wstring InstallSimLibrary(const ScratchDir& dir, const std::wstring& name = CLIENT_LIB);
