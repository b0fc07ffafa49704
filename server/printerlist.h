// The watch thread's list of the connection's redirected target printers,
// each with the attempts left to apply the local PC's settings to it.
#pragma once
#include <windows.h>

#define PRINTER_ATTEMPTS   5
#define CCH_LOCAL_NAME     1032
#define ERROR_NO_LOCAL_NAME 0x10000005

struct PRINTERENTRY {
    LPWSTR pszName;   // the printer's name on the server
    int nAttempts;
};

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

    int Count() const { return m_nCount; }
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
