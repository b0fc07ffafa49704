#include "fakechannel.h"
#include "module.h"

namespace FakeChannel {

std::vector<Bytes> writes;
std::vector<LPVOID> userData;
UINT writeResult = CHANNEL_RC_OK;
bool throwOnOpen;

static PCHANNEL_INIT_EVENT_FN s_initProc;
static int s_initCookie;
static const DWORD OPEN_HANDLE = 9;

static UINT VCAPITYPE FakeInit(LPVOID* handle, PCHANNEL_DEF, INT, ULONG, PCHANNEL_INIT_EVENT_FN proc)
{
    *handle = &s_initCookie;
    s_initProc = proc;
    return CHANNEL_RC_OK;
}

static UINT VCAPITYPE FakeOpen(LPVOID, LPDWORD handle, PCHAR, PCHANNEL_OPEN_EVENT_FN)
{
    if (throwOnOpen)
        throw 42;
    *handle = OPEN_HANDLE;
    return CHANNEL_RC_OK;
}

static UINT VCAPITYPE FakeClose(DWORD)
{
    return CHANNEL_RC_OK;
}

static UINT VCAPITYPE FakeWrite(DWORD, LPVOID data, ULONG length, LPVOID user)
{
    if (writeResult != CHANNEL_RC_OK)
        return writeResult;
    writes.push_back(Bytes((BYTE*)data, (BYTE*)data + length));
    userData.push_back(user);
    return CHANNEL_RC_OK;
}

void Install(const std::wstring& serverName)
{
    g_hInst = GetModuleHandleW(nullptr);
    g_ModuleKind = MODULE_CLIENT;
    if (!g_pRecvData)
        g_pRecvData = new CRdpData();
    CHANNEL_ENTRY_POINTS points = { sizeof points, VIRTUAL_CHANNEL_VERSION_WIN2000, FakeInit, FakeOpen, FakeClose,
                                    FakeWrite };
    VirtualChannelEntry(&points);
    Connect(serverName);
    writes.clear();
}

void Connect(const std::wstring& serverName)
{
    if (s_initProc)
        s_initProc(&s_initCookie, CHANNEL_EVENT_CONNECTED, (LPVOID)serverName.c_str(),
                   (UINT)(serverName.size() + 1) * sizeof(WCHAR));
}

void Disconnect()
{
    if (s_initProc)
        s_initProc(&s_initCookie, CHANNEL_EVENT_DISCONNECTED, nullptr, 0);
}

void Chunk(const BYTE* data, UINT32 length, UINT32 total, UINT32 flags)
{
    VirtualChannelOpenEvent(OPEN_HANDLE, CHANNEL_EVENT_DATA_RECEIVED, (LPVOID)data, length, total, flags);
}

void DeliverWrite(const Bytes& bytes)
{
    UINT32 total = (UINT32)bytes.size();
    for (UINT32 done = 0; done < total;) {
        UINT32 n = total - done < 1600 ? total - done : 1600;
        Chunk(bytes.data() + done, n, total, (done == 0 ? 1 : 0) | (done + n == total ? 2 : 0));
        done += n;
    }
}

void CompleteAll(UINT event)
{
    for (LPVOID user : userData)
        VirtualChannelOpenEvent(OPEN_HANDLE, event, user, 0, 0, 0);
    userData.clear();
}

WORD LastRes()
{
    return writes.empty() ? 0 : ReplyView(writes.back()).res;
}

}  // namespace FakeChannel
