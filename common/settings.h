// The two INI files: the common settings file (per machine) and the per-user
// settings file (log settings of each module in its own section).
#pragma once
#include <windows.h>

#define COMPANY_FOLDER     L"\\Halvren KT\\Quorvane"
#define OLD_COMPANY_FOLDER L"\\HalvrenKT\\Quorvane"
#define COMMON_INI_NAME    L"\\Quorvane.ini"
#define LOG_SUBFOLDER      L"\\Halvren KT\\Quorvane\\Log"

extern WCHAR g_szUserIni[MAX_PATH];   // per-user settings file; empty until start-up set it
extern LPCWSTR g_szSection;           // L"Server" or L"Client"
extern WCHAR g_szCommonIni[MAX_PATH]; // common settings file (server and administrator tool)

int GetUserProfileInt(LPCWSTR key, int def);
void GetUserProfileString(LPCWSTR def, LPWSTR result /* MAX_PATH */);
void WriteUserProfileInt(LPCWSTR key, int value);
void WriteUserProfileString(LPCWSTR value);

DWORD GetModuleFolder(LPWSTR buf /* MAX_PATH */);
BOOL CreateFolder(LPCWSTR path);
BOOL IsWritable(LPCWSTR folder);

// Start-up steps shared by the modules: user name into g_szUserName; for the
// server, the common settings file path (new location, or the older one when
// the new file does not exist); the per-user settings file path, taking over
// a file from the older folder once. Returns FALSE on a start-up failure
// (user name, special folder or folder creation), the caller shows 10001.
BOOL LocateCommonIni(LPWSTR commonIni /* MAX_PATH */);
BOOL LocateSettingsFiles();

// The same steps on given folders (the special folders in the start-ups).
// LocateCommonIniIn: dataFolder + "\Halvren KT\Quorvane\Quorvane.ini", or the
// older folder's file when that does not exist. LocateUserIniIn: creates
// roamingFolder + "\Halvren KT\Quorvane", builds the per-user file path there
// and copies the older folder's file to it once. FALSE when a path does not
// fit or the folder cannot be created.
BOOL LocateCommonIniIn(LPCWSTR dataFolder, LPWSTR commonIni /* MAX_PATH */);
BOOL LocateUserIniIn(LPCWSTR roamingFolder, LPCWSTR userName, LPWSTR userIni /* MAX_PATH */);
