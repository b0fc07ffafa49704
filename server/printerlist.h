// The watch thread's list of the connection's redirected target printers,
// each with the attempts left to apply the local PC's settings to it and
// what became of the last try.
#pragma once
#include <windows.h>

#define PRINTER_ATTEMPTS   5
#define CCH_LOCAL_NAME     1032
#define ERROR_NO_LOCAL_NAME 0x10000005

// Where a printer stands. Every outcome of a try is one state and one
// reason, so that whoever shows the printers needs no other rule.
enum PRINTERSTATE {
    PRINTER_WAITING,   // not tried yet, or not to be asked for yet (reason); tried at the next pass
    PRINTER_RETRY,     // tried and failed (reason); tried again from dwRetryAt on
    PRINTER_APPLIED,   // the PC's settings are in place (REASON_NONE)
    PRINTER_GAVE_UP,   // no more tries on this connection (reason: the last failure)
};

enum PRINTERREASON {
    REASON_NONE,
    REASON_NO_LOCAL_NAME,   // no part of the name that the PC knows: never asked for
    REASON_NO_PDL,          // the driver left the target table: not asked for
    REASON_NO_REPLY,        // the PC gave no usable answer (no channel, an error result)
    REASON_CHANNEL,         // the channel broke down; the user was told (gives up)
    REASON_MALFORMED,       // the PC's answer could not be read whole
    REASON_NO_DEVMODE,      // the PC sent no device mode
    REASON_NO_MEMORY,
    REASON_OLDER_DRIVER,    // the server's driver is older than the PC's (gives up)
    REASON_ACCESS_DENIED,   // (gives up)
    REASON_APPLY_FAILED,    // the registry or the spooler refused; dwError says how
};

struct PRINTERENTRY {
    LPWSTR pszName;   // the printer's name on the server
    int nAttempts;
    PRINTERSTATE state;
    PRINTERREASON reason;
    DWORD dwError;     // the Windows error of the last failed try, else 0
    DWORD dwRetryAt;   // tick count from which a PRINTER_RETRY printer is tried again
    FILETIME ftChanged;   // when state or reason last changed (UTC), for the status window
    BOOL bHklmBackup;     // applied; its HKEY_LOCAL_MACHINE backup is still to be dropped
};

// The wait after the nth failed try (1-based): 2, 4, 8 and 16 seconds, then
// the watch interval. Retries keep this spacing whatever starts the passes.
DWORD RetryDelay(int failures);
// Records one try's outcome (REASON_NONE: applied) at tick count `now`.
// A failure uses an attempt unless it ends the tries at once; TRUE when it
// used the last one.
BOOL SetOutcome(PRINTERENTRY* entry, PRINTERREASON reason, DWORD error, DWORD now);
// TRUE when a pass at tick count `now` should try the printer.
BOOL IsDue(const PRINTERENTRY* entry, DWORD now);
// Failures after which another try could not turn out differently; a
// printer given up for any other reason has used up its attempts.
BOOL EndsTheTries(PRINTERREASON reason);
// The user asked to apply again: all attempts back, tried at the next pass.
void GiveAttemptsBack(PRINTERENTRY* entry);

class CPrinterList {
public:
    CPrinterList();
    virtual ~CPrinterList();
    CPrinterList(const CPrinterList&) = delete;
    CPrinterList& operator=(const CPrinterList&) = delete;

    void ClearAll();
    int AddRedirectPrinter(LPCWSTR name);
    // Non-zero when the spooler reports a redirected target printer with attempts left.
    int EnumRedirectPrinters();
    // The local PC's name of entry `index` into out (cchOut characters);
    // last error 0, or ERROR_NO_LOCAL_NAME.
    BOOL CreateLocalName(int index, LPWSTR out, DWORD cchOut = CCH_LOCAL_NAME);

    // The entry of that name, or -1.
    int Find(LPCWSTR name) const;
    // Milliseconds from `now` until the next retry that falls due after tick
    // count `after` (the last pass's begin: one due before it was that pass's
    // to try, and one it could not try waits for the interval); 0 when one
    // is due already, INFINITE when none waits.
    DWORD NextRetryIn(DWORD now, DWORD after) const;

    int Count() const { return m_nCount; }
    PRINTERSTATE State(int index) const { return m_pEntries[index].state; }
    PRINTERREASON Reason(int index) const { return m_pEntries[index].reason; }
    DWORD LastError(int index) const { return m_pEntries[index].dwError; }
    LPCWSTR Name(int index) const { return m_pEntries[index].pszName; }
    int Attempts(int index) const { return m_pEntries[index].nAttempts; }
    void SetAttempts(int index, int attempts) { m_pEntries[index].nAttempts = attempts; }
    PRINTERENTRY* Entry(int index) { return &m_pEntries[index]; }
    HANDLE Heap() const { return m_hHeap; }

private:
    HANDLE m_hHeap;
    PRINTERENTRY* m_pEntries;
    int m_nCount;
};
