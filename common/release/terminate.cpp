// Linked into the deliverables only. The runtime's default terminate handler
// prints the type of the exception that ended the program to standard error,
// demangling its name, and then aborts. Our programs and the add-in have no
// console to print to, and the demangler alone is about 45 KB of every file,
// which the client add-in carries across the channel on each update. Ending
// the same way without the message keeps them small.
#include <cstdlib>

namespace __gnu_cxx {
void __verbose_terminate_handler()
{
    std::abort();
}
}
