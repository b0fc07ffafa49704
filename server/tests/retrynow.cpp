#include "testutil.h"
#include "printerlist.h"

namespace svtest {

void RetryNow(CPrinterList& list)
{
    for (int i = 0; i < list.Count(); i++)
        list.Entry(i)->dwRetryAt = GetTickCount();
}

}  // namespace svtest
