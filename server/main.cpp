#include "app.h"

int WINAPI wWinMain(HINSTANCE hInst, HINSTANCE, LPWSTR cmdLine, int)
{
    return RunServer(hInst, cmdLine);
}
