// The server module's contact with Remote Desktop Services: queries about its
// own session and the request/reply exchange over the "Quorvex" channel.
#pragma once
#include <windows.h>
#include "rdpdata.h"

#define CCH_CLIENT_NAME 1025
#define READ_TIMEOUT_MS 500

// The watch thread's record of the connected client.
struct CLIENTRECORD {
    DWORD dwFamily;                     // AF_INET, AF_INET6, 0 while no client is known
    BYTE Address[16];                   // AF_INET uses the first 4 bytes
    WCHAR szClientName[CCH_CLIENT_NAME];
    DWORD bClientModule;                // the last greeting of the client module succeeded
};

// The longest reply of the protocol is GETPROPERTIES: a device mode, which
// its two 16-bit size fields (dmSize, dmDriverExtra) keep below 2 x 65535
// bytes, and two registry tree images of a printer's driver data, which we
// accept up to 16 MiB each, every part behind its 4-byte size. A header that
// announces more is not a reply of ours, and is refused before we allocate.
#define RDP_IMAGE_MAX (16u << 20)
#define RDP_REPLY_MAX (3 * sizeof(DWORD) + 2 * 0xFFFFu + 2 * RDP_IMAGE_MAX)

BOOL WTS_IsActive();
DWORD WTS_GetSessinID();
void WTS_GetClientInfo(CLIENTRECORD* client);

BOOL WriteBuf(HANDLE hChannel, const BYTE* bytes, DWORD length);
BOOL ReadBuf(HANDLE hChannel, BYTE* dest, DWORD length);
// Sends one request and returns its reply: no buffer (RES 0xFFFF) when no
// whole reply arrived, CMD 0 / RES 0xFFFE when the exit event ended the exchange.
CRdpData WriteAndReadRDP(HANDLE hChannel, const CRdpData& request);
