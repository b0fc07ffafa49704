// The client's side of the command set: the receive message, the dispatcher
// and the greeting handler. The other handlers belong to the client module.
#include "rdpcmd.h"
#include "frame.h"
#include "log.h"
#include "module.h"

CRdpData* g_pRecvData = nullptr;
WCHAR g_szServerName[CCH_SERVER_NAME] = L"";

CRdpData DoRequest()
{
    LogScope scope(L"DoRequest", 32);
    WORD cmd = g_pRecvData ? g_pRecvData->Cmd() : 0;
    LogPrintf(32, L"DoRequest", L",wCmd=%d", cmd);
    CRdpData reply;
    switch (cmd) {
    case RDP_CMD_INITIALIZE:
        reply = Initialize();
        break;
    case RDP_CMD_GETFILEVER:
        reply = GetFileVer();
        break;
    case RDP_CMD_DOWNLOAD:
        reply = CRdpData(RDP_CMD_DOWNLOAD, DoDownload());
        break;
    case RDP_CMD_GETPROPERTIES:
        reply = GetProperties();
        break;
    default:
        reply = CRdpData(0, RDP_RES_NONE);
        break;
    }
    return reply;
}

CRdpData Initialize()
{
    LogScope scope(L"Initialize");
    if (!g_pRecvData)
        throw RdpException{RDP_RES_EXCEPTION};
    // The server's session number goes into every line this client logs from
    // now on, so that both logs of one connection can be matched up.
    SetLogSession(g_pRecvData->GetDWORD());
    WCHAR serverUser[CCH_SERVER_USER];
    g_pRecvData->GetString(serverUser, ARRAYSIZE(serverUser));
    SetNotifyTip(g_szServerName, serverUser);
    LogPrintf(128, L"Initialize", L",%s,%s", g_szServerName, serverUser);
    CRdpData reply(RDP_CMD_INITIALIZE, RDP_RES_OK);
    reply.AddString(g_szUserName);
    return reply;
}
