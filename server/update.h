// Client module update, server side: the newest add-in file lives beside the
// server program; a client with an older one is offered it over the channel.
#pragma once
#include <windows.h>

#define DOWNLOAD_READ_ERROR 5   // the server's copy could not be read

// Runs on the greeting's channel of a new client; the caller closes it.
void GetClientVersion(HANDLE hChannel);
// Sends the file in pieces; 0, DOWNLOAD_READ_ERROR or the client's result.
WORD DownloadFile(HANDLE hChannel, LPCWSTR path, LPCWSTR fileName);
// The message that reports a download status to the user.
UINT DownloadStatusMessage(WORD status);
// The version the add-in gave at the last greeting; FALSE when it gave none.
BOOL LastClientVersion(DWORD* ms, DWORD* ls);
// Only the add-in's own file names, without folder, may name a server copy.
BOOL IsClientModuleName(LPCWSTR name);
