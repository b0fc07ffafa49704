// Loopback link of the simulated Remote Desktop connection: the server end
// (Remote Desktop Services double, or a test scripting the server) and the
// client end (the Remote Desktop client host double) exchange frames
//   [DWORD type][DWORD length][length bytes]
// over a TCP connection on 127.0.0.1. Test and simulation builds only.
//
// Build: compile ${PROJECT_SOURCE_DIR}/common/doubles/simlink.cpp into the
// double (or link the library qv_simlink) and link ws2_32.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <vector>

#define SIMLINK_SERVER_WRITE 1   // one server write: delivered to the add-in as chunks
#define SIMLINK_CLIENT_WRITE 2   // one pVirtualChannelWrite: bytes for the server's byte stream
#define SIMLINK_CONNECT      3   // payload: the server name, UTF-16LE with terminator
#define SIMLINK_DISCONNECT   4   // no payload

// Upper bound of a frame's payload; a larger length marks a broken link.
#define SIMLINK_MAX_PAYLOAD (64u * 1024 * 1024)

// Results of SimLinkRecv.
#define SIMLINK_FRAME    1
#define SIMLINK_TIMEOUT  0
#define SIMLINK_CLOSED  (-1)   // orderly close by the peer
#define SIMLINK_BROKEN  (-2)   // socket error, bad length, or a frame cut short

BOOL SimLinkStartup();                           // WSAStartup once per process
SOCKET SimLinkListen(WORD* port);                // *port 0: any free port, returned in *port
SOCKET SimLinkAccept(SOCKET listener, DWORD timeoutMs);   // INVALID_SOCKET on time-out
SOCKET SimLinkConnect(WORD port);
void SimLinkClose(SOCKET s);

BOOL SimLinkSend(SOCKET s, DWORD type, const void* data, DWORD length);
BOOL SimLinkSendConnect(SOCKET s, LPCWSTR serverName);
// Waits up to timeoutMs (INFINITE allowed) for a frame to begin, then reads it whole.
int SimLinkRecv(SOCKET s, DWORD timeoutMs, DWORD* type, std::vector<BYTE>* payload);
// TRUE when bytes (or the peer's close) are waiting.
BOOL SimLinkReadable(SOCKET s, DWORD timeoutMs);

// Calls check() on a thread of its own whenever a file appears, goes or is
// written in the folder of the simulation's settings file (environment
// variable QVSIM), and at least once a second: how a script outside the
// process reaches a double while nothing in the process asks. No thread
// without QVSIM.
void SimWatchSettingsFolder(void (*check)());
