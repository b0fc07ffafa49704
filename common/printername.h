// The names that Remote Desktop gives redirected printers on the server:
// the local PC's name, a space and a parenthesised suffix that names the
// session, "Printer (redirected 2)" or "Printer (from PC1) in session 3" on
// an English server, in the server's own language elsewhere.
#pragma once
#include <windows.h>

enum RedirectSplit {
    REDIRECT_SPLIT_OK,
    REDIRECT_SPLIT_NO_PAREN,   // no "(", or only as the first character
    REDIRECT_SPLIT_NO_SPACE,   // the last "(" does not follow a space
};

// Where the suffix starts: the last "(" (a local name may hold parentheses
// of its own). *localLength gets the local name's length on success.
RedirectSplit SplitRedirectedName(LPCWSTR name, size_t* localLength);
// The session number that the suffix names, whatever its words; FALSE for
// any other shape.
BOOL GetRedirectedSession(LPCWSTR name, DWORD* session);
