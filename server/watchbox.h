// Message boxes that the watch thread shows (update question and results,
// a printer that cannot be set up). The thread waits for the user's answer,
// so an exit request must be able to end a box nobody will answer.
#pragma once
#include <windows.h>

// Shows the box over the main window; returns the answer, or the negative
// one (IDNO for a question, IDOK otherwise) when the module is stopping.
int WatchMessageBox(LPCWSTR text, UINT style);
int WatchMessageBoxID(UINT id, UINT style);
// Main thread, after signalling the exit event: ends a box that is shown or
// about to be shown, as its negative answer.
void EndWatchMessageBoxes();
