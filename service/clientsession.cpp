// The pipe client's session, as Windows reports it. Linked into the service
// and its tests; the simulation build links its simulated session instead.
#include "service.h"

BOOL GetPipeClientSession(HANDLE pipe, ULONG* session)
{
    return GetNamedPipeClientSessionId(pipe, session);
}
