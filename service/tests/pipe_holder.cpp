// Another client process of the service's pipe that connects and then says
// nothing, as a user keeping the service's slots busy would.
//   pipe_holder <pipe name> <connections> <milliseconds to hold them>
// Its exit code: the connections the service still kept at the end.
#include <windows.h>
#include <stdlib.h>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4)
        return -1;
    int count = _wtoi(argv[2]);
    HANDLE pipes[16];
    int opened = 0;
    for (int i = 0; i < count && i < 16; i++) {
        WaitNamedPipeW(argv[1], 5000);
        HANDLE h = CreateFileW(argv[1], GENERIC_READ | FILE_WRITE_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE)
            pipes[opened++] = h;
    }
    Sleep((DWORD)_wtoi(argv[3]));
    int kept = 0;
    for (int i = 0; i < opened; i++)
        kept += PeekNamedPipe(pipes[i], nullptr, 0, nullptr, nullptr, nullptr) ? 1 : 0;
    return kept;   // the handles go with the process
}
