// Resource ids of the service.
#pragma once

#define IDS_SERVICE_DISPLAY_NAME 100   // what the services console shows
#define IDS_SERVICE_DESCRIPTION  101
