// Resource ids of the server module (the shared ones are in frame_ids.h).
#pragma once
#include "../common/frame_ids.h"

#define IDS_EXIT_CONFIRM       202     // exit from the popup menu, asks Yes/No
// The status window (IDD_STATUS) and the tray tip's summary.
#define IDS_STATUS_TITLE       300
#define IDS_STATUS_PC          301     // format: the PC's name, the add-in's version (3 numbers)
#define IDS_STATUS_PC_NOVER    302     // format: the PC's name; the add-in gave no version
#define IDS_STATUS_NO_ADDIN    303     // format: the PC's name
#define IDS_STATUS_NO_PC       304
#define IDS_TIP_SUMMARY        305     // format: target printers, of them applied
#define IDS_TARGET_YES         306
#define IDS_TARGET_NO          307
#define IDS_COLUMN_FIRST       310     // 310..316: the list's column headers, by STATUSCOLUMN
#define IDS_STATE_WAITING      320
#define IDS_STATE_APPLYING     321
#define IDS_STATE_APPLIED      322
#define IDS_STATE_NOT_APPLIED  323
#define IDS_REASON_FIRST       330     // 330..340: by PRINTERREASON; some take the Windows error
#define IDS_REASON_NOT_TARGET  350
#define IDS_REASON_ATTEMPTS    351     // format: the attempts made, the last failure's text
#define IDS_REASON_SHORT       40      // + a reason's id: its short form, for the list's column
#define IDS_STATUS_NO_DETAIL   400
#define IDS_ALREADY_RUNNING    10000
#define IDS_INIT_ERROR         10001
#define IDS_UPDATE_WRITE_ERROR 11100
#define IDS_UPDATE_SWAP_ERROR  11101
#define IDS_UPDATE_BAD_REPLY   11104
#define IDS_UPDATE_READ_ERROR  11105
#define IDS_UPDATE_DONE        11200
#define IDS_UPDATE_ASK         11204
#define IDS_FATAL              20000
#define IDS_UPDATE_FATAL       20001
#define IDS_PRINTER_FATAL      20002   // format: the printer's name

// The status window
#define IDD_STATUS             3000
#define IDC_STATUS_PC          3001
#define IDC_STATUS_LIST        3002
#define IDC_APPLY_AGAIN        3003
#define IDC_APPLY_ALL          3004
#define IDC_STATUS_DETAIL      3005    // the selected printer's reason, whole
