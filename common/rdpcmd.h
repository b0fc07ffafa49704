// The commands of the "Quorvex" channel, their result codes and payloads.
#pragma once
#include "rdpdata.h"

#define RDP_CHANNEL_NAME "Quorvex"

#define RDP_CMD_INITIALIZE    1
#define RDP_CMD_GETFILEVER    2
#define RDP_CMD_DOWNLOAD      3
#define RDP_CMD_GETPROPERTIES 4

#define RDP_RES_OK                0
#define RDP_RES_EXCEPTION         0xFE00
#define RDP_RES_BLOCKSIZE_ERROR   0xFE10
#define RDP_RES_BLOCK_OVERRUN     0xFE11
#define RDP_RES_PARAMSIZE_DIFFER  0xFE12
#define RDP_RES_SEQUENCE_ERROR    0xFE20
#define RDP_RES_RDP_OVERRUN       0xFE21
#define RDP_RES_RDP_INCOMPLETE    0xFE22
#define RDP_RES_EXIT              0xFFFE
#define RDP_RES_NONE              0xFFFF
#define RDP_RES_IS_TRANSPORT(res) (((res) & 0xFF00) == 0xFE00)

#define RDP_DOWNLOAD_PIECE_MAX 159904
#define CLIENT_DLL_NAME L"Quorvane_CL32.dll"
#define CLIENT_DLL_NAME64 L"Quorvane_CL64.dll"

// Receiving buffers (characters, terminator included).
#define CCH_SERVER_USER  257    // client receives the server user's name
#define CCH_CLIENT_USER  260    // server receives the client user's name
#define CCH_FILE_NAME    260
#define CCH_PRINTER_NAME 1025
#define CCH_REG_PATH     1024
#define CCH_SERVER_NAME  1025   // the server name of CHANNEL_EVENT_CONNECTED

// The largest request the server can send: the first piece of a download
// (total, file name, piece size, piece). Every other request is far smaller
// (three strings of at most 1024 characters for GETPROPERTIES), so LoadBlock
// refuses to allocate for a first block that announces more than this.
#define RDP_REQUEST_MAX ((DWORD)(sizeof(RDPHEADER) + 4 + CCH_FILE_NAME * 2 + 4 + RDP_DOWNLOAD_PIECE_MAX))

// Requests, as the server builds them (each replaces req's contents).
void MakeInitializeRequest(CRdpData& req, DWORD session, LPCWSTR user);
void MakeGetFileVerRequest(CRdpData& req);
void MakeDownloadRequest(CRdpData& req, DWORD total, LPCWSTR fileName, const BYTE* piece, DWORD size);
void MakeGetPropertiesRequest(CRdpData& req, LPCWSTR printer, LPCWSTR hklmPath, LPCWSTR hkcuPath);

// Client: the receive message that LoadBlock assembles, the dispatcher and
// the handlers. DoRequest answers every complete request exactly once.
extern CRdpData* g_pRecvData;
extern WCHAR g_szServerName[CCH_SERVER_NAME];   // the server of the open connection, from CHANNEL_EVENT_CONNECTED
CRdpData DoRequest();
CRdpData Initialize();
CRdpData GetFileVer();
RDPRESULT DoDownload();
CRdpData GetProperties();
