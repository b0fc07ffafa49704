// Simulation build only: renames of the self-update that a test can make
// fail, to reach the paths where a swap is undone. Forced into the
// simulation library's objects; the release library calls the platform.
#pragma once
#include <windows.h>

BOOL WINAPI SimMoveFileW(LPCWSTR from, LPCWSTR to);
#define MoveFileW SimMoveFileW
