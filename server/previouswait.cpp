#include "app.h"
#include "server.h"

// Its own object, so that the simulation build can put another in its place.
DWORD PreviousInstanceWait()
{
    return PREVIOUS_INSTANCE_WAIT;
}
