// Requests as the server builds them; the client reads them item by item in
// the same order.
#include "rdpcmd.h"

void MakeInitializeRequest(CRdpData& req, DWORD session, LPCWSTR user)
{
    CRdpData msg(RDP_CMD_INITIALIZE, RDP_RES_NONE);
    msg.AddDWORD(session);
    msg.AddString(user ? user : L"");
    req = msg;
}

void MakeGetFileVerRequest(CRdpData& req)
{
    CRdpData msg(RDP_CMD_GETFILEVER, RDP_RES_NONE);
    req = msg;
}

// The first piece (total != 0) also names the file; later pieces carry 0 in
// its place and no name. The piece is always preceded by its size.
void MakeDownloadRequest(CRdpData& req, DWORD total, LPCWSTR fileName, const BYTE* piece, DWORD size)
{
    CRdpData msg(RDP_CMD_DOWNLOAD, RDP_RES_NONE);
    msg.AddDWORD(total);
    if (total != 0)
        msg.AddString(fileName ? fileName : L"");
    msg.AddDWORD(piece ? size : 0);
    msg.AddBuf(piece, size);
    req = msg;
}

void MakeGetPropertiesRequest(CRdpData& req, LPCWSTR printer, LPCWSTR hklmPath, LPCWSTR hkcuPath)
{
    CRdpData msg(RDP_CMD_GETPROPERTIES, RDP_RES_NONE);
    msg.AddString(printer ? printer : L"");
    msg.AddString(hklmPath ? hklmPath : L"");
    msg.AddString(hkcuPath ? hkcuPath : L"");
    req = msg;
}
