// The service's pipe name, alone in its file: the service's tests link a
// private name of their own in its place, so that a test serving the pipe in
// its process never answers another test's server module.
#include "regrequest.h"

LPCWSTR RegServicePipeName()
{
    return REG_SERVICE_PIPE;
}
