// Helpers for driving the frame's real windows from the test thread while
// the frame's window runs on a thread of its own.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

// The frame's hidden window on its own thread with a message loop, as in the
// modules; modal dialogs of its commands run on that thread.
class FrameWindowThread {
public:
    FrameWindowThread();
    ~FrameWindowThread();   // destroys the window and joins the thread
    HWND window() const { return hWnd_; }
    DWORD threadId() const { return threadId_; }
private:
    static DWORD WINAPI Run(LPVOID self);
    HANDLE thread_ = nullptr;
    HANDLE ready_ = nullptr;
    HWND hWnd_ = nullptr;
    DWORD threadId_ = 0;
};

// Registers the class (once per process) and creates the hidden window on the
// calling thread.
HWND CreateFrameWindow();

std::wstring LoadRes(UINT id);
std::wstring WindowText(HWND hWnd);
std::wstring ControlText(HWND hDlg, int id);

enum class Kind { MessageBox, Sheet, About, Menu };
// Waits for a visible top-level window of the given kind in process pid
// (0: this process); nullptr after the time-out.
HWND WaitForWindow(Kind kind, DWORD pid = 0, DWORD timeoutMs = 5000);
// True when no window of the kind appears within the time.
bool StaysAway(Kind kind, DWORD ms);
// Waits until the window is gone.
bool WaitGone(HWND hWnd, DWORD timeoutMs = 5000);

std::wstring MessageBoxText(HWND box);
std::vector<int> ButtonIds(HWND dlg);
// Posts a click on a dialog's button (posting keeps the test thread free
// when the click opens a modal box).
void Press(HWND dlg, int id);
// Closes a message box with its first button and waits until it is gone.
void Dismiss(HWND box);
HWND FocusOf(DWORD threadId);
