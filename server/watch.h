// The watch thread: one pass per timer beat, greeting each new client and
// applying the settings of the connection's redirected target printers.
#pragma once
#include <windows.h>
#include "printerlist.h"
#include "wtsio.h"

// GetClientAddr results.
#define CLIENT_SAME         0x01
#define CLIENT_NEW          0x02
#define CLIENT_DISCONNECTED 0x10
#define CLIENT_NONE         0x20

unsigned __stdcall WatchEnvProc(void* arg);
DWORD GetClientAddr(CLIENTRECORD* client);
void OnNewClient(CLIENTRECORD* client, CPrinterList& list);
HANDLE ConnectToLocalPC(CLIENTRECORD* client);
void DisconnectFromLocalPC(HANDLE hChannel);
BOOL OnConnect(HANDLE hChannel, CLIENTRECORD* client);
// One pass of the loop (steps between LOOP BEGIN and LOOP END).
void WatchPass(CLIENTRECORD* client, CPrinterList& list);
