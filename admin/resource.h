// Resource ids of the administrator tool.
#pragma once

#define IDS_APP_TITLE          200   // caption of the sheet and of every message box
#define IDS_INSTANCE_NAME      201   // instance mutex
#define IDS_ALREADY_RUNNING    10000
#define IDS_NO_ADMIN_USER      10001
#define IDS_INTERVAL_RANGE     10003 // format: lower and upper bound
#define IDS_ACCOUNT_REFUSED    10004
#define IDS_NEED_ADMIN_RIGHTS  10005
#define IDS_SERVICE_MISSING    10006 // the service's state on the settings page
#define IDS_SERVICE_STOPPED    10007
#define IDS_SERVICE_RUNNING    10008

#define IDI_ADMIN              108

#define IDD_ADMINSETTINGS      129
#define IDC_ADMIN_USER         1000
#define IDC_ADMIN_PASSWORD     1001
#define IDC_INTERVAL           1002
#define IDC_INTERVAL_SPIN      1006
#define IDC_INTERVAL_RANGE     1007
#define IDC_PORT               1008
#define IDC_PORT_LABEL         1009
#define IDC_SERVICE_STATE      1010
