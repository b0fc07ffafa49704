// This test process's own pipe name in place of the service's.
#include "regrequest.h"
#include <stdio.h>

LPCWSTR RegServicePipeName()
{
    static WCHAR name[64];
    if (!name[0])
        _snwprintf(name, 63, L"\\\\.\\pipe\\Quorvane_Svc_test%lu", GetCurrentProcessId());
    return name;
}
