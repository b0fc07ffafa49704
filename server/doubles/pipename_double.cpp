// A pipe name of the simulated session's own in place of the service's, for
// the logon storm: every simulated session runs its own service, since a
// simulated service cannot tell one pipe client's session from another's.
// The name is the one in the environment variable QVSIM_PIPE.
#include "regrequest.h"

LPCWSTR RegServicePipeName()
{
    static WCHAR name[128];
    if (!name[0] && !GetEnvironmentVariableW(L"QVSIM_PIPE", name, ARRAYSIZE(name) - 1))
        lstrcpynW(name, REG_SERVICE_PIPE, ARRAYSIZE(name));
    return name;
}
