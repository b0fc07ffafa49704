#include "update.h"
#include <string.h>
#include <wchar.h>
#include <memory>
#include <new>
#include "frame.h"
#include "log.h"
#include "module.h"
#include "raii.h"
#include "rdpcmd.h"
#include "resource.h"
#include "settings.h"
#include "watchbox.h"
#include "wtsio.h"

namespace {

struct ClientFile {
    DWORD canUpdate;
    WCHAR name[CCH_FILE_NAME];
    DWORD ms, ls;
};

// The version reply, every item present; FALSE for anything shorter.
BOOL ReadVersionReply(CRdpData& reply, ClientFile* file)
{
    DWORD value;
    if (reply.GetBuf(&value, sizeof value, FALSE) != sizeof value)
        return FALSE;
    file->canUpdate = value;
    if (!file->canUpdate)
        return TRUE;
    if (reply.GetString(file->name, ARRAYSIZE(file->name)) == RDP_STRING_BAD)
        return FALSE;
    return reply.GetBuf(&file->ms, sizeof file->ms, FALSE) == sizeof file->ms &&
           reply.GetBuf(&file->ls, sizeof file->ls, FALSE) == sizeof file->ls;
}

BOOL ClientIsCurrent(const ClientFile& c, DWORD ms, DWORD ls)
{
    return c.ms > ms || (c.ms == ms && c.ls >= ls);
}

// The server copy for the file the client reported, or FALSE (logged).
BOOL ServerCopyPath(const ClientFile& c, LPWSTR path /* MAX_PATH */)
{
    static const WCHAR F[] = L"GetClientVersion";
    WCHAR folder[MAX_PATH];
    if (!GetModuleFolder(folder)) {
        LogPrintf(LOG_E, F, L",GetModuleFolder,error %d", GetLastError());
        return FALSE;
    }
    LogPrintf(32, F, L",,%s", folder);
    if (!IsClientModuleName(c.name)) {
        // The server reads only its own copies, never a file the client names.
        LogPrintf(LOG_E, F, L",%s,not a client module file", c.name);
        return FALSE;
    }
    size_t len = wcslen(folder) + wcslen(c.name);
    if (len >= MAX_PATH) {
        LogPrintf(LOG_E, F, L",%s%s,path too long", folder, c.name);
        return FALSE;
    }
    FormatStr(path, MAX_PATH, L"%s%s", folder, c.name);
    return TRUE;
}

// Decides whether to offer the update; TRUE with the server copy's path.
BOOL ShouldOffer(CRdpData& reply, ClientFile* c, LPWSTR path)
{
    static const WCHAR F[] = L"GetClientVersion";
    if (!reply.Buffer() || reply.Res() != RDP_RES_OK) {
        LogPrintf(LOG_W, F, L",ClientFileVer,Unknown");
        return FALSE;
    }
    if (!ReadVersionReply(reply, c)) {
        LogPrintf(LOG_E, F, L",ClientFileVer,malformed reply");
        return FALSE;
    }
    LogPrintf(32, F, L",can%s update", c->canUpdate ? L"" : L"not");
    if (!c->canUpdate || !ServerCopyPath(*c, path))
        return FALSE;
    DWORD ms = 0, ls = 0;
    DWORD e = GetFileVersionMSLS(path, &ms, &ls);
    if (e) {
        LogPrintf(LOG_E, F, L",GetFileVersionMSLS,error %d,%s", e, path);
        return FALSE;
    }
    LogPrintf(32, F, L",%s on Client,MS %d,LS %d", c->name, c->ms, c->ls);
    LogPrintf(32, F, L",%s on Server,MS %d,LS %d", c->name, ms, ls);
    if (ClientIsCurrent(*c, ms, ls)) {
        LogPrintf(32, F, L",ClientVer is equal or newer");
        return FALSE;
    }
    return TRUE;
}

// The add-in's version from the last greeting, for the status window; the
// watch thread's alone. Unknown when the add-in did not tell it.
ClientFile s_lastClient;

}  // namespace

BOOL LastClientVersion(DWORD* ms, DWORD* ls)
{
    *ms = s_lastClient.ms;
    *ls = s_lastClient.ls;
    return s_lastClient.canUpdate && s_lastClient.name[0];
}

BOOL IsClientModuleName(LPCWSTR name)
{
    return _wcsicmp(name, CLIENT_DLL_NAME) == 0 || _wcsicmp(name, CLIENT_DLL_NAME64) == 0;
}

UINT DownloadStatusMessage(WORD status)
{
    if (RDP_RES_IS_TRANSPORT(status))
        return IDS_UPDATE_FATAL;
    switch (status) {
    case 0: return IDS_UPDATE_DONE;
    case 2: return IDS_UPDATE_WRITE_ERROR;
    case 3:
    case 4: return IDS_UPDATE_SWAP_ERROR;
    case DOWNLOAD_READ_ERROR: return IDS_UPDATE_READ_ERROR;
    default: return IDS_UPDATE_BAD_REPLY;
    }
}

void GetClientVersion(HANDLE hChannel)
{
    static const WCHAR F[] = L"GetClientVersion";
    LogPrintf(LOG_TAG_ENTRY | 64, F, L"HS %d", (int)(INT_PTR)hChannel);
    NotifyIcon(NI_WORK_BEGIN);
    CRdpData request;
    MakeGetFileVerRequest(request);
    CRdpData reply = WriteAndReadRDP(hChannel, request);
    ClientFile client = {};
    WCHAR path[MAX_PATH];
    BOOL offer = ShouldOffer(reply, &client, path);
    s_lastClient = client;
    if (!offer) {
        LogPrintf(32, F, L",cannot update");
    } else if (WatchMessageBoxID(IDS_UPDATE_ASK, MB_ICONQUESTION) == IDYES) {
        WORD status = DownloadFile(hChannel, path, client.name);
        UINT message = DownloadStatusMessage(status);
        LogPrintf(128, F, L",download status %d,message %d", status, message);
        WatchMessageBoxID(message, message == IDS_UPDATE_DONE ? MB_ICONINFORMATION : MB_ICONEXCLAMATION);
    }
    NotifyIcon(NI_WORK_END);
    LogPrintf(LOG_TAG_EXIT | 64, F, L"");
}

// Sends the open file piece by piece; the reply to each piece decides.
static WORD SendPieces(HANDLE hChannel, HANDLE file, DWORD total, LPCWSTR fileName, BYTE* piece)
{
    static const WCHAR F[] = L"DownloadFile";
    WORD status = 0;
    for (DWORD sent = 0; sent < total;) {
        DWORD got = 0;
        // A file that ends before its size said is no copy we can send.
        if (!ReadFile(file, piece, RDP_DOWNLOAD_PIECE_MAX, &got, nullptr) || got == 0) {
            LogPrintf(LOG_E, F, L",,ReadFile error");
            return DOWNLOAD_READ_ERROR;
        }
        if (got > total - sent)
            got = total - sent;
        CRdpData request;
        MakeDownloadRequest(request, sent == 0 ? total : 0, fileName, piece, got);
        CRdpData reply = WriteAndReadRDP(hChannel, request);
        status = reply.Res();
        if (status != 0)
            break;
        sent += got;
        LogPrintf(32, F, L",,done %d / %d", sent, total);
    }
    return status;
}

WORD DownloadFile(HANDLE hChannel, LPCWSTR path, LPCWSTR fileName)
{
    static const WCHAR F[] = L"DownloadFile";
    LogScope scope(F, 64);
    LogPrintf(32, F, L",,%s", path);
    // Shared for reading: other sessions may send the same copy at the same time.
    UniqueFile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        LogPrintf(LOG_E, F, L",,CreateFile error");
        return DOWNLOAD_READ_ERROR;
    }
    LARGE_INTEGER size = {};
    // An empty copy would be "sent" without a byte and reported as done.
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart == 0 || size.QuadPart > MAXDWORD) {
        LogPrintf(LOG_E, F, L",,GetFileSize error,%I64d", size.QuadPart);
        return DOWNLOAD_READ_ERROR;
    }
    DWORD total = (DWORD)size.QuadPart;
    std::unique_ptr<BYTE[]> piece(new (std::nothrow) BYTE[RDP_DOWNLOAD_PIECE_MAX]);
    if (!piece) {
        LogPrintf(LOG_E, F, L",,HeapAlloc error");
        return DOWNLOAD_READ_ERROR;
    }
    LogPrintf(32, F, L",,dwTotal %d(bytes)", total);
    return SendPieces(hChannel, file.get(), total, fileName, piece.get());
}
