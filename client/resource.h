// Resource ids of the client module (the shared ones are in frame_ids.h).
#pragma once
#include "../common/frame_ids.h"

#define IDS_INIT_ERROR 10001
#define IDS_FATAL      20000
