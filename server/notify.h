// What wakes the watch loop besides its interval: the local print server
// telling us a printer was added or changed (a client redirecting its
// printers), so that settings are in place before the user can print.
#pragma once
#include <windows.h>

// A burst of printer changes (a client redirects several printers one after
// another, each some tens of milliseconds apart) is gathered into one pass:
// the pass starts once no change has come for the quiet time, and at the
// latest after the longest gathering, so that a spooler that never stops
// changing cannot hold the pass back past our one-second promise.
#define NOTIFY_QUIET_MS 200
#define NOTIFY_GATHER_MAX_MS 600

// [Server] "UseNotify": printer and session notifications (default on).
extern int g_nUseNotify;

// The watch thread's printer change notification; closed on every path.
class CPrinterNotify {
public:
    CPrinterNotify() = default;
    ~CPrinterNotify() { Close(); }
    CPrinterNotify(const CPrinterNotify&) = delete;
    CPrinterNotify& operator=(const CPrinterNotify&) = delete;

    // Before each pass: arms the notification when it is not armed, or
    // takes in a change that has already come (the pass will see it).
    void Prepare();
    // The handle to wait on, or NULL while there is none.
    HANDLE Handle() const { return change_; }
    // After the handle was signalled: re-arms it and waits out the burst.
    // FALSE when the exit event ended the wait.
    BOOL Gather();
    void Close();

private:
    BOOL Arm();
    BOOL Rearm();
    void Fail(LPCWSTR call, DWORD error);
    HANDLE server_ = nullptr;   // the local print server, opened with no name
    HANDLE change_ = nullptr;
    bool failed_ = false;       // fallen back to the interval; logged once
};
