// Resource ids that both modules share. Plain #defines only: the resource
// compiler reads this file too.
#pragma once

// Strings
#define IDS_APP_TITLE         200
#define IDS_WINDOW_CLASS      201
#define IDS_LOGLEVEL_FIRST    2100   // 2100..2105: captions of the detail settings, by LogLevel
#define IDS_LOGFOLDER_TITLE   2200
#define IDS_LOGSETTING_LATER  2201
#define IDS_LOGFOLDER_BAD     10002
#define IDS_LOGSIZE_RANGE     10003
#define IDS_LOGROTATE_RANGE   10004
#define IDS_SETTING_OPENED    10005

// Menu and commands
#define IDR_MAINMENU        100
#define IDM_ABOUT           101
#define IDM_EXIT            102
#define IDM_SETTINGS        103
#define IDM_RESTART         104
#define IDM_STATUS          105     // the server's status window

// Icons
#define IDI_ABOUT           500
#define IDI_SMALL           501
#define IDI_TASKGRAY        502
#define IDI_TASKREADY       503
#define IDI_TASKCONNECT     504

// About box
#define IDD_ABOUTBOX        1000
#define IDC_VERSION         1001

// Log settings page
#define IDD_LOGPAGE         2000
#define IDC_LOGFOLDER       2001
#define IDC_BROWSE          2002
#define IDC_LOGSIZE         2003
#define IDC_LOGROTATE       2004
#define IDC_LOGSIZE_SPIN    2005
#define IDC_LOGROTATE_SPIN  2006
#define IDC_LOGSIZE_RANGE   2007
#define IDC_LOGROTATE_RANGE 2008
#define IDC_LOGLEVEL        2009
#define IDC_CURRENT         2010
#define IDC_DEFAULT         2011
