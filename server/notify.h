// What wakes the watch loop besides its interval: the local print server
// telling us a printer was added or changed (a client redirecting its
// printers), so that settings are in place before the user can print.
#pragma once
#include <windows.h>
#include "printerlist.h"

// [Server] "UseNotify": printer and session notifications (default on).
extern int g_nUseNotify;

// The watch thread's printer change notification; closed on every path.
// The spooler tells every session of every printer's changes: each change
// is looked at by the name of the printer it concerns, so that a busy
// server's other sessions start no pass here.
class CPrinterNotify {
public:
    CPrinterNotify() = default;
    ~CPrinterNotify() { Close(); }
    CPrinterNotify(const CPrinterNotify&) = delete;
    CPrinterNotify& operator=(const CPrinterNotify&) = delete;

    // Before each pass: arms the notification when it is not armed. A change
    // that comes during the pass stays signalled and gives one more pass.
    void Prepare();
    // The handle to wait on, or NULL while there is none.
    HANDLE Handle() const { return change_; }
    // After the handle was signalled: re-arms it and says whether a pass is
    // due: a change of a printer that concerns this session (see
    // ConcernsSession), a change the spooler did not say the printers of,
    // or a notification that failed (the next pass arms a new one).
    BOOL Take(const CPrinterList& list);
    void Close();

private:
    BOOL Arm();
    void Fail(LPCWSTR call, DWORD error);
    HANDLE server_ = nullptr;   // the local print server, opened with no name
    HANDLE change_ = nullptr;
    bool failed_ = false;       // fallen back to the interval; logged once
};

// Whether a change of the printer of that name can give this session's
// pass anything to do: a printer of the list still to be tried, or one not
// in the list whose name ends in this session's number, in whatever words
// ("X (redirected 2)", "X (from PC) in session 2", translated forms).
BOOL ConcernsSession(const CPrinterList& list, LPCWSTR name, DWORD session);
