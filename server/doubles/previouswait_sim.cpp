// The simulation build's wait for the instance it replaces: the release
// build's minute, unless QV_SIM_PREVIOUS_WAIT_MS names another, so that a
// test can watch the module give up without waiting that minute.
#include "app.h"
#include "server.h"
#include <stdlib.h>

DWORD PreviousInstanceWait()
{
    char text[16];
    DWORD n = GetEnvironmentVariableA("QV_SIM_PREVIOUS_WAIT_MS", text, sizeof text);
    return n > 0 && n < sizeof text ? (DWORD)strtoul(text, nullptr, 10) : PREVIOUS_INSTANCE_WAIT;
}
