// Channel side of the add-in: entry, init and open events, reassembly of the
// server's blocks from the channel's chunks, and the replies.
#include "client.h"
#include "frame.h"
#include "log.h"
#include "raii.h"
#include <exception>
#include <new>
#include <string.h>

static CHANNEL_ENTRY_POINTS g_EntryPoints;   // only the four function pointers are used
static LPVOID g_pInitHandle;
static DWORD g_dwOpenHandle;
static CHANNEL_DEF g_ChannelDef;

// One server block while its chunks arrive.
static BYTE g_Block[CHANNEL_BLOCK_MAX];
static DWORD g_dwBlockCount;
// After an error in a server write its remaining chunks are dropped, so that
// one write is answered at most once and the server's reply stream stays in step.
static BOOL g_bDiscarding;

static const LPCWSTR g_ReturnNames[] = {
    L"CHANNEL_RC_OK", L"CHANNEL_RC_ALREADY_INITIALIZED", L"CHANNEL_RC_NOT_INITIALIZED",
    L"CHANNEL_RC_ALREADY_CONNECTED", L"CHANNEL_RC_NOT_CONNECTED", L"CHANNEL_RC_TOO_MANY_CHANNELS",
    L"CHANNEL_RC_BAD_CHANNEL", L"CHANNEL_RC_BAD_CHANNEL_HANDLE", L"CHANNEL_RC_NO_BUFFER",
    L"CHANNEL_RC_BAD_INIT_HANDLE", L"CHANNEL_RC_NOT_OPEN", L"CHANNEL_RC_BAD_PROC",
    L"CHANNEL_RC_NO_MEMORY", L"CHANNEL_RC_UNKNOWN_CHANNEL_NAME", L"CHANNEL_RC_ALREADY_OPEN",
    L"CHANNEL_RC_NOT_IN_VIRTUALCHANNELENTRY", L"CHANNEL_RC_NULL_DATA", L"CHANNEL_RC_ZERO_LENGTH",
};

LPCWSTR ChannelReturnName(UINT rc)
{
    return rc < ARRAYSIZE(g_ReturnNames) ? g_ReturnNames[rc] : L"CHANNEL_RC !! UNKNOWN !!";
}

LPCWSTR ChannelEventName(UINT event)
{
    switch (event) {
    case CHANNEL_EVENT_INITIALIZED:     return L"CHANNEL_EVENT_INITIALIZED";
    case CHANNEL_EVENT_CONNECTED:       return L"CHANNEL_EVENT_CONNECTED";
    case CHANNEL_EVENT_V1_CONNECTED:    return L"CHANNEL_EVENT_V1_CONNECTED";
    case CHANNEL_EVENT_DISCONNECTED:    return L"CHANNEL_EVENT_DISCONNECTED";
    case CHANNEL_EVENT_TERMINATED:      return L"CHANNEL_EVENT_TERMINATED";
    case CHANNEL_EVENT_DATA_RECEIVED:   return L"CHANNEL_EVENT_DATA_RECEIVED";
    case CHANNEL_EVENT_WRITE_COMPLETE:  return L"CHANNEL_EVENT_WRITE_COMPLETE";
    case CHANNEL_EVENT_WRITE_CANCELLED: return L"CHANNEL_EVENT_WRITE_CANCELLED";
    }
    return L"CHANNEL_EVENT !! UNKNOWN !!";
}

LPCWSTR ChannelFlagName(UINT32 flags)
{
    static const LPCWSTR names[] = { L"CHANNEL_FLAG_MIDDLE", L"CHANNEL_FLAG_FIRST",
                                     L"CHANNEL_FLAG_LAST", L"CHANNEL_FLAG_ONLY" };
    return names[flags & 3];
}

extern "C" BOOL VCAPITYPE VirtualChannelEntry(PCHANNEL_ENTRY_POINTS pEntryPoints)
{
    static const LPCWSTR FN = L"VirtualChannelEntry";
    try {
        OnInitInstance();
        LogPrintf(LOG_TAG_ENTRY | 128, FN, L"");
        if (AppException() || !pEntryPoints) {
            LogPrintf(LOG_W, FN, L",SKIP");
        } else {
            g_EntryPoints.pVirtualChannelInit = pEntryPoints->pVirtualChannelInit;
            g_EntryPoints.pVirtualChannelOpen = pEntryPoints->pVirtualChannelOpen;
            g_EntryPoints.pVirtualChannelClose = pEntryPoints->pVirtualChannelClose;
            g_EntryPoints.pVirtualChannelWrite = pEntryPoints->pVirtualChannelWrite;
            LogPrintf(32, FN, L",cbSize,%d", pEntryPoints->cbSize);
            LogPrintf(32, FN, L",protocolVersion,%p", (void*)(ULONG_PTR)pEntryPoints->protocolVersion);
            LogPrintf(32, FN, L",VirtualChannelInit,%p", (void*)g_EntryPoints.pVirtualChannelInit);
            LogPrintf(32, FN, L",VirtualChannelOpen,%p", (void*)g_EntryPoints.pVirtualChannelOpen);
            LogPrintf(32, FN, L",VirtualChannelClose,%p", (void*)g_EntryPoints.pVirtualChannelClose);
            LogPrintf(32, FN, L",VirtualChannelWrite,%p", (void*)g_EntryPoints.pVirtualChannelWrite);

            ZeroMemory(&g_ChannelDef, sizeof g_ChannelDef);
            lstrcpynA(g_ChannelDef.name, RDP_CHANNEL_NAME, sizeof g_ChannelDef.name);
            g_ChannelDef.options = 0;
            UINT rc = CHANNEL_RC_BAD_PROC;
            if (g_EntryPoints.pVirtualChannelInit)
                rc = g_EntryPoints.pVirtualChannelInit(&g_pInitHandle, &g_ChannelDef, 1,
                                                       VIRTUAL_CHANNEL_VERSION_WIN2000,
                                                       VirtualChannelInitEvent);
            LogPrintf(32, FN, L",VirtualChannelInit,return %s,pInitHandle %p", ChannelReturnName(rc),
                      g_pInitHandle);
        }
    } catch (...) {
        LogPrintf(LOG_E, FN, L",EXCEPTION");
        CriticalMessage(IDS_INIT_ERROR);
        return TRUE;
    }
    LogPrintf(LOG_TAG_EXIT | 128, FN, L"");
    return TRUE;
}

// The server name arrives as a UTF-16 string of dataLength bytes; it is read
// no further than that, whether or not it carries its terminator.
static void CopyServerName(LPCVOID pData, UINT dataLength)
{
    g_szServerName[0] = 0;
    if (!pData)
        return;
    const WCHAR* src = (const WCHAR*)pData;
    UINT n = dataLength / sizeof(WCHAR);
    UINT i = 0;
    for (; i < n && i + 1 < ARRAYSIZE(g_szServerName) && src[i]; i++)
        g_szServerName[i] = src[i];
    g_szServerName[i] = 0;
}

static void OnChannelDisconnected()
{
    static const LPCWSTR FN = L"VirtualChannelInitEvent";
    ReleaseUpdateMutex();
    UINT rc = g_EntryPoints.pVirtualChannelClose ? g_EntryPoints.pVirtualChannelClose(g_dwOpenHandle)
                                                 : CHANNEL_RC_BAD_PROC;
    LogPrintf(32, FN, L",VirtualChannelClose(%d),%s", g_dwOpenHandle, ChannelReturnName(rc));
    g_dwOpenHandle = 0;
    g_dwBlockCount = 0;
    g_bDiscarding = FALSE;
    EndUpdateConnection();
    if (g_pRecvData)
        g_pRecvData->Clear();
    LogEnd();
    LogStart(L"");
    NotifyIcon(NI_STOPPING);
    SetNotifyTip(nullptr, nullptr);
}

static void OnChannelConnected(LPVOID pData, UINT dataLength)
{
    static const LPCWSTR FN = L"VirtualChannelInitEvent";
    NotifyIcon(NI_START);
    LogEnd();
    CopyServerName(pData, dataLength);
    LogStart(g_szServerName);
    SetNotifyTip(g_szServerName, nullptr);
    NotifyIcon(NI_ACTIVE);
    UINT rc = CHANNEL_RC_BAD_PROC;
    if (g_EntryPoints.pVirtualChannelOpen)
        rc = g_EntryPoints.pVirtualChannelOpen(g_pInitHandle, &g_dwOpenHandle, (PCHAR)RDP_CHANNEL_NAME,
                                               VirtualChannelOpenEvent);
    LogPrintf(32, FN, L",VirtualChannelOpen,%s,openHandle %d", ChannelReturnName(rc), g_dwOpenHandle);
    TakeUpdateMutex();
}

void VCAPITYPE VirtualChannelInitEvent(LPVOID pInitHandle, UINT event, LPVOID pData, UINT dataLength)
{
    static const LPCWSTR FN = L"VirtualChannelInitEvent";
    LogPrintf(LOG_TAG_ENTRY | 128, FN, L",%p,%s,pData %p,dataLength %d", pInitHandle,
              ChannelEventName(event), pData, dataLength);
    if (event == CHANNEL_EVENT_CONNECTED) {
        bool failed = false;
        try {
            OnChannelConnected(pData, dataLength);
        } catch (...) {
            failed = true;
        }
        if (failed) {
            LogPrintf(LOG_E, FN, L",EXCEPTION,CHANNEL_EVENT_CONNECTED");
            CriticalMessage(IDS_FATAL);
            event = CHANNEL_EVENT_DISCONNECTED;
        }
    }
    if (event == CHANNEL_EVENT_DISCONNECTED) {
        try {
            OnChannelDisconnected();
        } catch (...) {
            LogPrintf(LOG_E, FN, L",EXCEPTION,CHANNEL_EVENT_DISCONNECTED");
        }
    }
    LogPrintf(LOG_TAG_EXIT | 128, FN, L"");
}

// Unbalanced NotifyIcon events would leave the icon showing a transfer.
class TransferMark {
public:
    TransferMark() { NotifyIcon(NI_XFER_BEGIN); }
    ~TransferMark() { NotifyIcon(NI_XFER_END); }
    TransferMark(const TransferMark&) = delete;
    TransferMark& operator=(const TransferMark&) = delete;
};

static void RaiseChunkError(RDPRESULT code, UINT32 flags)
{
    g_dwBlockCount = 0;
    g_bDiscarding = !(flags & CHANNEL_FLAG_LAST);
    throw RdpException{ code };
}

const BYTE* AddChunkToBlock(const BYTE* data, UINT32 length, UINT32 total, UINT32 flags)
{
    static const LPCWSTR FN = L"AddChunkToBlock";
    LogScope scope(FN, 32);
    TransferMark mark;
    if (!data)
        length = 0;
    if (flags & CHANNEL_FLAG_FIRST) {
        g_bDiscarding = FALSE;
        if (g_dwBlockCount) {
            LogPrintf(LOG_W, FN, L",unexpected FIRST");
            g_dwBlockCount = 0;
        }
        if (total > CHANNEL_BLOCK_MAX) {
            LogPrintf(LOG_E, FN, L",BLOCKSIZE ERROR,total(%d)/must(%d)", total, CHANNEL_BLOCK_MAX);
            RaiseChunkError(RDP_RES_BLOCKSIZE_ERROR, flags);
        }
    } else if (g_bDiscarding) {
        LogPrintf(32, FN, L",discarded,%d bytes", length);
        if (flags & CHANNEL_FLAG_LAST)
            g_bDiscarding = FALSE;
        return nullptr;
    }
    if ((ULONGLONG)g_dwBlockCount + length > CHANNEL_BLOCK_MAX) {
        LogPrintf(LOG_E, FN, L",BLOCK OVERRUN,recv(%d)/must(%d)", (DWORD)((ULONGLONG)g_dwBlockCount + length),
                  CHANNEL_BLOCK_MAX);
        RaiseChunkError(RDP_RES_BLOCK_OVERRUN, flags);
    }
    if (length)
        memcpy(g_Block + g_dwBlockCount, data, length);
    g_dwBlockCount += length;
    LogPrintf(32, FN, L",block %d / %d", g_dwBlockCount, total);
    if (!(flags & CHANNEL_FLAG_LAST))
        return nullptr;

    DWORD count = g_dwBlockCount;
    g_dwBlockCount = 0;
    if (count != total) {
        LogPrintf(LOG_E, FN, L",PARAMSIZE DIFFER,recv(%d)/WTSAPI(%d)", count, total);
        RaiseChunkError(RDP_RES_PARAMSIZE_DIFFER, flags);
    }
    // A block shorter than its own header cannot be judged by its dwLength;
    // it is treated like any other cut-short write.
    ULONGLONG announced = sizeof(RDPBLOCKHEADER);
    if (count >= sizeof(RDPBLOCKHEADER))
        announced += ((const RDPBLOCKHEADER*)g_Block)->dwLength;
    if (count >= sizeof(RDPBLOCKHEADER) && total == announced) {
        LogPrintf(64, FN, L",BLOCK COMPLETE");
        return g_Block;
    }
    LogPrintf(LOG_W, FN, L",blocksize short,recv(%d),server(%d),server will retry...", total,
              (DWORD)(announced > 0xFFFFFFFF ? 0xFFFFFFFF : announced));
    return nullptr;
}

// The reply is copied into a heap of its own that travels as the write's
// user data; the completion or cancellation event destroys it. When the write
// itself fails no event follows, so both are released here.
//
// The heap reports a failed allocation by a null block rather than by a
// structured exception, which no C++ handler here could catch: a reply too
// large for memory becomes an error reply instead of ending the process.
static HANDLE CreateResponseHeap(LPCWSTR func)
{
    HANDLE heap = HeapCreate(0, 0, 0);
    LogPrintf(32, func, L"HeapCreate,%p,%d bytes", heap, 0);
    if (!heap)
        throw std::bad_alloc();
    return heap;
}

static void WriteReply(const BYTE* message, DWORD size)
{
    static const LPCWSTR FN = L"VirtualChannelOpenEvent";
    HANDLE heap = CreateResponseHeap(FN);
    BYTE* block = (BYTE*)LoggedHeapAlloc(FN, heap, nullptr, size);
    if (!block) {
        LoggedHeapDestroy(FN, heap);
        throw std::bad_alloc();
    }
    memcpy(block, message, size);
    if (g_pRecvData)
        g_pRecvData->Clear();
    NotifyIcon(NI_XFER_BEGIN);
    LogPrintf(32, FN, L",VirtualChannelWrite,%d bytes,%p", size, heap);
    UINT rc = g_EntryPoints.pVirtualChannelWrite
                  ? g_EntryPoints.pVirtualChannelWrite(g_dwOpenHandle, block, size, heap)
                  : CHANNEL_RC_BAD_PROC;
    if (rc != CHANNEL_RC_OK) {
        LogPrintf(LOG_E, FN, L",VirtualChannelWrite,%s,%p", ChannelReturnName(rc), heap);
        LoggedHeapDestroy(FN, heap);
        NotifyIcon(NI_XFER_END);
    }
}

static void OnDataReceived(LPVOID pData, UINT32 dataLength, UINT32 totalLength, UINT32 dataFlags)
{
    const BYTE* block = AddChunkToBlock((const BYTE*)pData, dataLength, totalLength, dataFlags);
    if (!block || !g_pRecvData)
        return;
    const RDPBLOCKHEADER* head = (const RDPBLOCKHEADER*)block;
    if (!g_pRecvData->LoadBlock(block + sizeof(RDPBLOCKHEADER), head->dwLength, head->wSeq, head->wFlags))
        return;
    CRdpData reply = DoRequest();
    if (!reply.Buffer())
        throw RdpException{ RDP_RES_EXCEPTION };
    WriteReply(reply.Buffer(), reply.Size());
}

static void AnswerWithError(RDPRESULT code)
{
    static const LPCWSTR FN = L"VirtualChannelOpenEvent";
    LogPrintf(LOG_E, FN, L",EXCEPTION,%X", code);
    if (g_pRecvData)
        g_pRecvData->Clear();
    LogPrintf(32, FN, L",VirtualChannelWrite,EXCEPTION HEADER");
    RDPHEADER header = { 0, 0, code };
    try {
        WriteReply((const BYTE*)&header, sizeof header);
    } catch (...) {
        LogPrintf(LOG_E, FN, L",VirtualChannelWrite,EXCEPTION HEADER,not written");
    }
}

static void OnWriteDone(UINT event, LPVOID pData)
{
    static const LPCWSTR FN = L"VirtualChannelOpenEvent";
    try {
        if (pData)
            LoggedHeapDestroy(FN, (HANDLE)pData);
        LogPrintf(32, FN, L",VirtualChannelWrite,%s,%p",
                  event == CHANNEL_EVENT_WRITE_COMPLETE ? L"done" : L"cancelled", pData);
    } catch (...) {
        LogPrintf(LOG_E, FN, L",EXCEPTION,WRITE_COMPLETE/CANCELLED");
    }
    NotifyIcon(NI_XFER_END);
}

void VCAPITYPE VirtualChannelOpenEvent(DWORD openHandle, UINT event, LPVOID pData, UINT32 dataLength,
                                       UINT32 totalLength, UINT32 dataFlags)
{
    static const LPCWSTR FN = L"VirtualChannelOpenEvent";
    if (event == CHANNEL_EVENT_DATA_RECEIVED)
        LogPrintf(LOG_TAG_ENTRY | 128, FN, L"openHandle %d,%s,pData %p,dataLength %d,totalLength %d,%s",
                  openHandle, ChannelEventName(event), pData, dataLength, totalLength,
                  ChannelFlagName(dataFlags));
    else
        LogPrintf(LOG_TAG_ENTRY | 128, FN, L"openHandle %d,%s,pData %p", openHandle,
                  ChannelEventName(event), pData);
    if (AppException()) {
        LogPrintf(LOG_E, FN, L",PROGRAM BUG!!,IMPOSSIBLE");
        return;
    }
    NotifyIcon(NI_WORK_BEGIN);
    if (event == CHANNEL_EVENT_DATA_RECEIVED) {
        RDPRESULT code = RDP_RES_OK;
        try {
            OnDataReceived(pData, dataLength, totalLength, dataFlags);
        } catch (const RdpException& e) {
            code = e.res ? e.res : RDP_RES_EXCEPTION;
        } catch (...) {
            code = RDP_RES_EXCEPTION;
        }
        if (code != RDP_RES_OK)
            AnswerWithError(code);
    } else if (event == CHANNEL_EVENT_WRITE_COMPLETE || event == CHANNEL_EVENT_WRITE_CANCELLED) {
        OnWriteDone(event, pData);
    }
    NotifyIcon(NI_WORK_END);
    LogPrintf(LOG_TAG_EXIT | 128, FN, L"");
}
