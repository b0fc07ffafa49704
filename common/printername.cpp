#include "printername.h"
#include <wchar.h>

RedirectSplit SplitRedirectedName(LPCWSTR name, size_t* localLength)
{
    LPCWSTR paren = wcsrchr(name, L'(');
    if (!paren || paren == name)
        return REDIRECT_SPLIT_NO_PAREN;
    if (paren[-1] != L' ')
        return REDIRECT_SPLIT_NO_SPACE;
    *localLength = (size_t)(paren - name) - 1;
    return REDIRECT_SPLIT_OK;
}

// Decimal digits from text up to end, nothing else, and no overflow.
static BOOL ParseSession(LPCWSTR text, LPCWSTR end, DWORD* session)
{
    if (text == end || end - text > 10)
        return FALSE;
    ULONGLONG value = 0;
    for (LPCWSTR p = text; p < end; p++) {
        if (*p < L'0' || *p > L'9')
            return FALSE;
        value = value * 10 + (*p - L'0');
    }
    if (value > MAXDWORD)
        return FALSE;
    *session = (DWORD)value;
    return TRUE;
}

BOOL GetRedirectedSession(LPCWSTR name, DWORD* session)
{
    size_t local;
    if (SplitRedirectedName(name, &local) != REDIRECT_SPLIT_OK)
        return FALSE;
    LPCWSTR suffix = name + local + 2;   // past " ("
    size_t len = wcslen(suffix);
    static const WCHAR redirected[] = L"redirected ";
    const size_t cchRedirected = ARRAYSIZE(redirected) - 1;
    if (len > cchRedirected && wcsncmp(suffix, redirected, cchRedirected) == 0 && suffix[len - 1] == L')')
        return ParseSession(suffix + cchRedirected, suffix + len - 1, session);
    static const WCHAR inSession[] = L") in session ";
    LPCWSTR at = wcsstr(suffix, inSession);
    if (!at || at == suffix)
        return FALSE;
    return ParseSession(at + ARRAYSIZE(inSession) - 1, suffix + len, session);
}
