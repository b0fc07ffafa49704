// The administrator tool: interactive settings, elevated registry worker and
// account check, chosen by the command line.
#pragma once
#include <windows.h>
#include "regrequest.h"

#define ADMIN_CHECK_KEYWORD L"CheckAdmin"
#define ADMIN_INTERVAL_MIN 5
#define ADMIN_INTERVAL_MAX 32767
#define ADMIN_INTERVAL_DEFAULT 30
#define ADMIN_EXIT_REFUSED ((int)-1)

// Interactive mode state (the settings file path is g_szCommonIni).
extern WCHAR g_szDataFolder[MAX_PATH];
extern WCHAR g_szTitle[256];
extern WCHAR g_szInstanceName[256];
extern WCHAR g_szAdminUser[256];
extern WCHAR g_szAdminPassword[256];
extern DWORD g_dwInterval;

// Elevated registry worker (the request itself: regrequest.h).
DWORD ExecuteRequestFile(LPCWSTR path);
// Reads and checks the request file's layout; 0, a Windows error code of the
// read, or REG_STATUS_BAD_ARGUMENT.
DWORD ReadRegRequest(LPCWSTR file, RegRequest* request);
// The shared rules (CheckRegRequest) for the session this process runs in.
DWORD CheckWorkerRequest(const RegRequest& request);
// That session (toolsession.cpp; the simulation build's is simulated).
BOOL GetToolSession(DWORD* session);

// Whether the service that makes the stored account unnecessary is there.
enum RegServiceState { REG_SERVICE_MISSING, REG_SERVICE_STOPPED, REG_SERVICE_RUNNING };
RegServiceState QueryRegServiceState();

BOOL CheckSingleInstance(HINSTANCE hInstance);
// Data folder, settings file path (g_szCommonIni) and the one-time take-over
// of a settings file from the older folder name.
void PrepareSettingsFile(LPCWSTR commonAppData);
// Takes a settings file over from the older folder name, once.
void MigrateOlderSettings(LPCWSTR commonAppData);

void ReadAdminSettings();
void WriteAdminSettings();
void ShowAdminSettings();
INT_PTR CALLBACK AdminSettingsDlgProc(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam);
BOOL CheckAdminAccount();
// A message of the tool's string table; 10003 is filled with the interval bounds.
int AdminMessageBox(HWND owner, UINT id, UINT style);
