// Remote Desktop Services double for test and simulation builds: a session
// whose properties the test sets, and a static channel whose far end is
// scripted by the test (or, in a simulation, read from a settings file).
#pragma once
#include <windows.h>
#include <functional>
#include <vector>

namespace WtsDouble {

using Bytes = std::vector<BYTE>;

// Back to an active Remote Desktop session 1 ("PC1", 192.0.2.1), an empty
// channel and no faults.
void Reset();

void SetSessionId(DWORD id);
// A change to WTSActive or WTSDisconnected is posted to the windows
// registered for session notifications, as WTS_REMOTE_CONNECT/DISCONNECT.
void SetConnectState(int state);                 // WTS_CONNECTSTATE_CLASS
void FailRegisterNotification(DWORD error);      // WTSRegisterSessionNotification fails
int RegisteredWindows();
void SetProtocol(USHORT protocol);               // 0 console, 2 Remote Desktop
// Family and the bytes stored from WTS_CLIENT_ADDRESS.Address[2] on (at most 18).
void SetClientAddress(DWORD family, const BYTE* bytes, DWORD count);
void SetClientName(LPCWSTR name);
// The query of one information class fails with this error (0: works again).
void FailQuery(int infoClass, DWORD error);

// --- channel ---
// Bytes that the far end writes; the server reads them as one stream, at
// most 1600 bytes per read.
void QueueRead(const void* bytes, DWORD count);
// Called for every block that the channel accepts whole, outside the
// double's lock; it may queue the far end's answer.
void OnWrite(std::function<void(const Bytes& block)> handler);
// The next write call accepts only `accepted` bytes (a short write).
void ShortWrite(DWORD accepted);
// The next write call fails with this error.
void FailWrite(DWORD error);
// After this many reads that found nothing, the session stops being active.
void DisconnectAfterTimeouts(int timeouts);
void FailOpen(DWORD error);

// The far end is the client host double over the loopback link: listens on
// *port (0: any free port, returned), and in the background accepts the
// host, tells it the connection is open under `serverName`, and feeds what
// the add-in writes into the channel's byte stream. A closed link ends the
// session (WTSDisconnected).
BOOL ListenLink(WORD* port, LPCWSTR serverName);
// Waits until the host has joined (TRUE) or the time is up.
BOOL WaitLinkJoined(DWORD timeoutMs);
// The Remote Desktop client disconnects: the host is told so and the link
// ends; the session reads as disconnected once the host has closed its end.
void EndLink();

// What happened: every write call's bytes as offered, whole or not.
std::vector<Bytes> Writes();
int WriteCalls();
int ReadCalls();
int TimedOutReads();
int OpenChannels();   // opened and not yet closed

}  // namespace WtsDouble
