// Another client process of the service's pipe that connects and then says
// nothing, as a user keeping the service's slots busy would.
//   pipe_holder <pipe name> <connections> <milliseconds to hold them>
#include <windows.h>
#include <stdlib.h>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4)
        return 2;
    int count = _wtoi(argv[2]);
    int held = 0;
    for (int i = 0; i < count && i < 16; i++) {
        WaitNamedPipeW(argv[1], 5000);
        if (CreateFileW(argv[1], GENERIC_READ | FILE_WRITE_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr)
            != INVALID_HANDLE_VALUE)
            held++;
    }
    Sleep((DWORD)_wtoi(argv[3]));
    return held;   // the handles go with the process
}
