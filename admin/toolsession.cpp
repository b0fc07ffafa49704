// The session the tool runs in, as Windows reports it: the server module
// starts it in its own session, so this is the caller's. Alone in its file:
// the simulation build links its simulated session instead.
#include "admin.h"

BOOL GetToolSession(DWORD* session)
{
    return ProcessIdToSessionId(GetCurrentProcessId(), session);
}
