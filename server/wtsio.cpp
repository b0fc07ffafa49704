#include <winsock2.h>
#include "wtsio.h"
#include <wtsapi32.h>
#include <string.h>
#include <memory>
#include <new>
#include "frame.h"
#include "log.h"
#include "rdpcmd.h"
#include "server.h"

namespace {

// One fixed-size session query; a result smaller than the value it should
// hold is refused as invalid data rather than read past its end.
BOOL QuerySession(WTS_INFO_CLASS cls, void* value, DWORD size)
{
    LPWSTR buf = nullptr;
    DWORD bytes = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, cls, &buf, &bytes))
        return FALSE;
    BOOL ok = buf && bytes >= size;
    if (ok)
        memcpy(value, buf, size);
    if (buf)
        WTSFreeMemory(buf);
    if (!ok)
        SetLastError(ERROR_INVALID_DATA);
    return ok;
}

// A channel write or read, with the tray icon showing the transfer.
BOOL ChannelWrite(HANDLE h, const BYTE* block, ULONG size, ULONG* written, DWORD* err)
{
    NotifyIcon(NI_XFER_BEGIN);
    BOOL ok = WTSVirtualChannelWrite(h, (PCHAR)block, size, written);
    *err = GetLastError();
    NotifyIcon(NI_XFER_END);
    return ok;
}

BOOL ChannelRead(HANDLE h, BYTE* dest, ULONG size, ULONG* read, DWORD* err)
{
    NotifyIcon(NI_XFER_BEGIN);
    BOOL ok = WTSVirtualChannelRead(h, READ_TIMEOUT_MS, (PCHAR)dest, size, read);
    *err = GetLastError();
    NotifyIcon(NI_XFER_END);
    return ok;
}

}  // namespace

BOOL WTS_IsActive()
{
    static const WCHAR F[] = L"WTS_IsActive";
    LogScope scope(F);
    int state = 0;
    if (!QuerySession(WTSConnectState, &state, sizeof state)) {
        LogPrintf(LOG_E, F, L",WTSConnectState,error %d", GetLastError());
        return FALSE;
    }
    if (state != WTSActive) {
        LogPrintf(32, F, L",WTSConnectState,Not WTSActive");
        return FALSE;
    }
    LogPrintf(0, F, L"WTSConnectState,WTSActive");
    USHORT protocol = 0;
    if (!QuerySession(WTSClientProtocolType, &protocol, sizeof protocol)) {
        LogPrintf(LOG_E, F, L",WTSClientProtocolType,error %d", GetLastError());
        return FALSE;
    }
    if (protocol != WTS_PROTOCOL_TYPE_RDP) {
        LogPrintf(32, F, L",WTSClientProtocolType,Not WTS_PROTOCOL_TYPE_RDP");
        return FALSE;
    }
    LogPrintf(0, F, L"WTSClientProtocolType,WTS_PROTOCOL_TYPE_RDP");
    return TRUE;
}

DWORD WTS_GetSessinID()
{
    static const WCHAR F[] = L"WTS_GetSessinID";
    LogScope scope(F);
    ULONG id = 0;
    if (!QuerySession(WTSSessionId, &id, sizeof id)) {
        LogPrintf(LOG_E, F, L",WTSSessionId,error %d", GetLastError());
        return 0;
    }
    LogPrintf(0, F, L",WTSSessionId,ID %d", id);
    return id;
}

static void GetClientAddress(CLIENTRECORD* client)
{
    static const WCHAR F[] = L"WTS_GetClientInfo";
    WTS_CLIENT_ADDRESS addr;
    if (!QuerySession(WTSClientAddress, &addr, sizeof addr)) {
        LogPrintf(LOG_E, F, L",WTSClientAddress, error %d", GetLastError());
        client->dwFamily = 0;
        memset(client->Address, 0, sizeof client->Address);
        return;
    }
    client->dwFamily = addr.AddressFamily;
    // IPv4 fills only the first 4 bytes; the rest of the record is left as it was.
    memcpy(client->Address, addr.Address + 2, addr.AddressFamily == AF_INET ? 4 : 16);
    LogPrintf(0, F, L",WTSClientAddress, OK");
}

static void GetClientName(CLIENTRECORD* client)
{
    static const WCHAR F[] = L"WTS_GetClientInfo";
    LPWSTR name = nullptr;
    DWORD bytes = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSClientName,
                                     &name, &bytes) || !name) {
        LogPrintf(LOG_E, F, L",WTSClientName, error %d", GetLastError());
        client->szClientName[0] = 0;
        return;
    }
    // Bounded both by what was returned and by the record; a longer name is cut.
    DWORD avail = bytes / sizeof(WCHAR), n = 0;
    while (n < avail && n < CCH_CLIENT_NAME - 1 && name[n])
        n++;
    memcpy(client->szClientName, name, n * sizeof(WCHAR));
    client->szClientName[n] = 0;
    WTSFreeMemory(name);
    LogPrintf(0, F, L",WTSClientName, %s", client->szClientName);
}

void WTS_GetClientInfo(CLIENTRECORD* client)
{
    LogScope scope(L"WTS_GetClientInfo");
    GetClientAddress(client);
    GetClientName(client);
}

BOOL WriteBuf(HANDLE hChannel, const BYTE* bytes, DWORD length)
{
    static const WCHAR F[] = L"WriteBuf";
    LogPrintf(LOG_TAG_ENTRY | 64, F, L",lp %p,len %d", bytes, length);
    DWORD done = 0;
    // wSeq is 16 bits wide: a message needing more blocks cannot be numbered.
    if (RdpBlockCount(length) > 0x10000) {
        LogPrintf(LOG_E, F, L",too long,len %u", length);
        LogPrintf(LOG_TAG_EXIT | 64, F, L"FALSE,write 0");
        return FALSE;
    }
    BYTE block[RDP_BLOCK_MAX];
    WORD seq = 0;
    while (done < length) {
        if (IsExitSet()) {
            LogPrintf(128, F, L",exit");
            break;
        }
        RDPBLOCKHEADER header;
        const BYTE* data = RdpBlockAt(bytes, length, seq, &header);
        if (!data || header.dwLength == 0 || header.dwLength > RDP_BLOCK_DATA_MAX)
            break;
        memcpy(block, &header, sizeof header);
        memcpy(block + sizeof header, data, header.dwLength);
        ULONG size = header.dwLength + sizeof header, written = 0;
        DWORD err = 0;
        if (!ChannelWrite(hChannel, block, size, &written, &err)) {
            LogPrintf(LOG_E, F, L",error %d,uDone %d", err, done);
            break;
        }
        if (written == size) {
            done += header.dwLength;
            LogPrintf(32, F, L",OK,seq %d,%d bytes,rdp %d / %d", seq, header.dwLength, done, length);
            seq++;
        } else {
            // The client drops a partial block, so the whole block goes again.
            LogPrintf(LOG_W, F, L",short,seq %d,data %d / %d,RETRY", seq, (int)written - (int)sizeof header,
                      header.dwLength);
        }
    }
    BOOL ok = done == length;
    LogPrintf(LOG_TAG_EXIT | 64, F, L"%s,write %d", ok ? L"TRUE" : L"FALSE", done);
    return ok;
}

// Nothing arrived within the read time-out: go on only while the session
// is still an active connection.
static BOOL StillConnected(DWORD done)
{
    static const WCHAR F[] = L"ReadBuf";
    LogPrintf(LOG_W, F, L",ERROR_IO_INCOMPLETE,uDone %d", done);
    int state = 0;
    if (!QuerySession(WTSConnectState, &state, sizeof state)) {
        LogPrintf(LOG_E, F, L",WTSConnectState,error %d", GetLastError());
        return FALSE;
    }
    if (state != WTSActive) {
        LogPrintf(LOG_W, F, L",WTSConnectState,Not WTSActivate");
        return FALSE;
    }
    return TRUE;
}

BOOL ReadBuf(HANDLE hChannel, BYTE* dest, DWORD length)
{
    static const WCHAR F[] = L"ReadBuf";
    LogPrintf(LOG_TAG_ENTRY | 64, F, L",lp(%p) len(%d)", dest, length);
    DWORD done = 0;
    while (done < length) {
        if (IsExitSet()) {
            LogPrintf(128, F, L",exit");
            break;
        }
        ULONG got = 0;
        DWORD err = 0;
        BOOL ok = ChannelRead(hChannel, dest + done, length - done, &got, &err);
        if (ok && got > length - done) {
            LogPrintf(LOG_E, F, L",error %d,uDone %d", ERROR_INVALID_DATA, done);
            break;
        }
        if (ok && got > 0) {
            done += got;
            continue;
        }
        // A successful read that brought nothing is a time-out as well.
        if (ok || err == ERROR_IO_INCOMPLETE) {
            if (!StillConnected(done))
                break;
            continue;
        }
        LogPrintf(LOG_E, F, L",error %d,uDone %d", err, done);
        break;
    }
    BOOL ok = done == length;
    LogPrintf(LOG_TAG_EXIT | 64, F, L"%s,read %d", ok ? L"TRUE" : L"FALSE", done);
    return ok;
}

// Reads the payload that the reply header announced; false leaves the reply as it was.
static BOOL ReadPayload(HANDLE hChannel, CRdpData& reply, DWORD len)
{
    static const WCHAR F[] = L"WriteAndReadRDP";
    std::unique_ptr<BYTE[]> payload(new (std::nothrow) BYTE[len]);
    if (!payload) {
        LogPrintf(LOG_E, F, L",read data error");
        return FALSE;
    }
    if (!ReadBuf(hChannel, payload.get(), len)) {
        LogPrintf(LOG_E, F, L",read data error");
        return FALSE;
    }
    reply.AddBuf(payload.get(), len, TRUE);
    LogPrintf(64, F, L",CMD(%d),Done", reply.Cmd());
    return TRUE;
}

static BOOL Exchange(HANDLE hChannel, const CRdpData& request, CRdpData& reply)
{
    static const WCHAR F[] = L"WriteAndReadRDP";
    if (!request.Buffer() || !WriteBuf(hChannel, request.Buffer(), request.Size())) {
        LogPrintf(LOG_E, F, L",write data error");
        return FALSE;
    }
    RDPHEADER header;
    if (!ReadBuf(hChannel, (BYTE*)&header, sizeof header)) {
        LogPrintf(LOG_E, F, L",read header error");
        return FALSE;
    }
    LogPrintf(32, F, L",WTSRead,%d bytes", header.len + (DWORD)sizeof header);
    if (header.len > RDP_REPLY_MAX) {
        LogPrintf(LOG_E, F, L",len %u,reply too large", header.len);
        return FALSE;
    }
    reply = CRdpData(header);
    if (header.len == 0) {
        LogPrintf(64, F, L",CMD(%d),Done(header only)", reply.Cmd());
        return TRUE;
    }
    if (ReadPayload(hChannel, reply, header.len))
        return TRUE;
    // A header without its payload is no reply: callers must not read zeros
    // from a message that claims success.
    reply = CRdpData();
    return FALSE;
}

CRdpData WriteAndReadRDP(HANDLE hChannel, const CRdpData& request)
{
    static const WCHAR F[] = L"WriteAndReadRDP";
    LogPrintf(LOG_TAG_ENTRY | 32, F, L",CMD(%d)", request.Cmd());
    CRdpData reply;
    if (!Exchange(hChannel, request, reply) && IsExitSet())
        reply = CRdpData(0, RDP_RES_EXIT);
    if (!reply.Buffer() || reply.Res() != RDP_RES_OK)
        LogPrintf(LOG_W, F, L",RES %X", reply.Res());
    LogPrintf(LOG_TAG_EXIT | 32, F, L"");
    return reply;
}
