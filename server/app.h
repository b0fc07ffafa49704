// The server module's skeleton: start-up, the window-message handlers that
// start and stop the watch thread, exit and restart, and the orderly end.
#pragma once
#include <windows.h>

// Waits for the instance named on the command line (a restart). FALSE when it
// is still running after 60 seconds; *pid receives the number read.
BOOL WaitPreviousInstance(LPCWSTR cmdLine, DWORD* pid, DWORD timeoutMs = 60000);
// How long a start waits for the instance it replaces: PREVIOUS_INSTANCE_WAIT
// (previouswait.cpp); the simulation build links a definition of its own.
DWORD PreviousInstanceWait();
// [Server] "Interval" in seconds, 30 when outside 5..32767.
int ReadWatchInterval(LPCWSTR commonIni);
// Settings files, watch interval, target drivers, then logging. Throws the
// id of message 10001 on failure.
void ReadUserProfile();
// Per-session mutex, the two events and the main window. Throws 10000/10001.
void OnInitInstance(HINSTANCE hInst, LPCWSTR className);
void ExitInstance();

void OnCreate(HWND hWnd);
void OnClose(HWND hWnd, BOOL endSession);
BOOL OnCommand(HWND hWnd, WPARAM wParam);
void OnTimer(HWND hWnd);
void SetIntervalTimer(HWND hWnd, BOOL on);
// Session connect/disconnect notifications for the main window ([Server] "UseNotify").
void RegisterSessionChange(HWND hWnd, BOOL on);
void OnSessionChange(HWND hWnd, WPARAM code, LPARAM session);
// Puts the handlers above into the frame's window procedure.
void InstallFrameHooks();

// The whole program: wWinMain's body.
int RunServer(HINSTANCE hInst, LPCWSTR cmdLine);

// The watch thread (watch.cpp).
unsigned __stdcall WatchEnvProc(void* arg);
