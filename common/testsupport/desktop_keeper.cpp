// Keeps the prefix's desktop process alive for a whole test run. Wine starts
// explorer.exe /desktop for the first window when none runs and ends it a
// few seconds after the last window has gone. Started by a window test, it
// inherits that test's output and keeps it open for as long as later window
// tests keep the desktop busy: CTest then waits for a test that has passed.
// Started first, with its output away from any pipe, it serves every test.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    // A hidden window is enough: the desktop stays while any window is on it.
    if (!CreateWindowExW(0, L"STATIC", L"Quorvane test desktop", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                         nullptr, nullptr))
        return 1;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
        DispatchMessageW(&msg);
    return 0;
}
