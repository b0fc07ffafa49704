// The client module: the static virtual channel add-in that the Remote
// Desktop client loads. Process-wide state, one instance per process.
#pragma once
#include <windows.h>
#include <cchannel.h>
#include <winspool.h>
#include "rdpcmd.h"
#include "regimage.h"
#include "resource.h"

// The add-in goes by its own file name; this is only the name its build is
// shipped under, for the rare case that the loaded path cannot be read.
#ifdef _WIN64
#define CLIENT_MODULE_BASE   L"Quorvane_CL64"
#else
#define CLIENT_MODULE_BASE   L"Quorvane_CL32"
#endif
#define CLIENT_MODULE_EXT    L".dll"
#define UPDATE_MUTEX_NAME    L"Quorvane_CL_UPDATE"
#define CHANNEL_BLOCK_MAX    6400   // one server block: header and data

// Instance life.
void OnInitInstance();                  // throws (UINT)IDS_INIT_ERROR
void ExitInstance();
BOOL AppException();
HWND GetClientWindow();                 // the hidden tray window, or NULL

// Channel add-in.
extern "C" BOOL VCAPITYPE VirtualChannelEntry(PCHANNEL_ENTRY_POINTS pEntryPoints);
void VCAPITYPE VirtualChannelInitEvent(LPVOID pInitHandle, UINT event, LPVOID pData, UINT dataLength);
void VCAPITYPE VirtualChannelOpenEvent(DWORD openHandle, UINT event, LPVOID pData,
                                       UINT32 dataLength, UINT32 totalLength, UINT32 dataFlags);
// The completed block (RDPBLOCKHEADER and data) or NULL; throws RdpException.
const BYTE* AddChunkToBlock(const BYTE* data, UINT32 length, UINT32 total, UINT32 flags);
LPCWSTR ChannelReturnName(UINT rc);
LPCWSTR ChannelEventName(UINT event);
LPCWSTR ChannelFlagName(UINT32 flags);

// Self-update.
void TakeUpdateMutex();
void ReleaseUpdateMutex();
BOOL HoldsUpdateMutex();
UINT UpdateDllFile();
void GetOwnFileName(LPWSTR name, size_t cch);   // file name of this module, no folder
void ResetDownload();
// Version of the file on disk, also when a module of that path is loaded.
DWORD GetDiskFileVersion(LPCWSTR path, DWORD* ms, DWORD* ls);
// Forgets the connection's download and its version query (at disconnect).
void EndUpdateConnection();
// The machine's policy value that turns updates off.
#define CLIENT_POLICY_KEY     L"SOFTWARE\\Policies\\Halvren KT\\Quorvane\\Client"
#define CLIENT_POLICY_NOUPDATE L"DisableUpdate"
BOOL UpdatesDisabledByPolicy();
#define DOWNLOAD_TOTAL_MAX (16u * 1024 * 1024)   // no add-in comes near this

// Whose code the add-in runs (signer.cpp): the running add-in's signer,
// captured at start-up, and the checks of a complete downloaded file.
void CaptureOwnSigner();
BOOL IsAcceptableUpdate(LPCWSTR path, DWORD size);

// What a terminal server may ask for (trust.cpp): pure checks, no I/O.
#define PROP_OK              0
#define PROP_UNKNOWN_PRINTER 1
#define PROP_MACHINE_PATH    2
#define PROP_USER_PATH       3
int CheckPropertiesRequest(LPCWSTR printer, LPCWSTR hklmPath, LPCWSTR hkcuPath, const PRINTER_INFO_4W* listed,
                           DWORD count);
LPCWSTR PropertiesRefusalName(int refusal);
#define IMAGE_OK            0
#define IMAGE_NOT_PE        1
#define IMAGE_OTHER_MACHINE 2
#define IMAGE_NOT_DLL       3
#define IMAGE_NO_ENTRY      4
int CheckAddinImage(const BYTE* file, DWORD size, WORD machine);
LPCWSTR AddinImageRefusalName(int refusal);

// Printer properties export.
struct RegTreeCount {
    DWORD keys;
    DWORD values;
    DWORD nameBytes;
    DWORD dataBytes;
};
void GetDevMode(LPCWSTR printer, CRdpData& response);
int ExportRegTree(int selector, LPCWSTR path, CRdpData& response);
DWORD ExportReg(HKEY root, LPCWSTR path, BYTE* image, DWORD* size);
DWORD MeasureRegTree(HKEY parent, LPCWSTR subkey, LPCWSTR relative, RegTreeCount* count);
DWORD WriteRegTreeKey(HKEY root, LPCWSTR exportPath, LPCWSTR relative, BYTE* image,
                      DWORD* cursor, DWORD* dataOffset);
// Structural check of an image as a reader walks it: sizes, counts, offsets.
BOOL CheckRegTreeImage(const BYTE* image, DWORD size);
