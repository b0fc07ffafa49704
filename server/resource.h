// Resource ids of the server module (the shared ones are in frame_ids.h).
#pragma once
#include "../common/frame_ids.h"

#define IDS_EXIT_CONFIRM       202     // exit from the popup menu, asks Yes/No
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
