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

// Decimal digits from text up to end, nothing else, no leading zero (Windows
// never writes one, so "02" is somebody's own name) and no overflow.
static BOOL ParseSession(LPCWSTR text, LPCWSTR end, DWORD* session)
{
    if (text == end || end - text > 10 || (*text == L'0' && end - text > 1))
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

// The number that ends [from, end) after a blank, with at least one word of
// any language before it.
static BOOL TrailingNumber(LPCWSTR from, LPCWSTR end, DWORD* session)
{
    LPCWSTR digits = end;
    while (digits > from && digits[-1] >= L'0' && digits[-1] <= L'9')
        digits--;
    if (digits - from < 2 || digits[-1] != L' ' || digits[-2] == L' ')
        return FALSE;
    return ParseSession(digits, end, session);
}

// Windows translates the words of the suffix on localized servers, never its
// shape: "(<words> N)" as the last group, or "(<words>) <words> N" with the
// number last. Only the shape and the number are read here; which session a
// printer really belongs to is then confirmed by the spooler and the caller.
BOOL GetRedirectedSession(LPCWSTR name, DWORD* session)
{
    size_t local;
    if (SplitRedirectedName(name, &local) != REDIRECT_SPLIT_OK)
        return FALSE;
    LPCWSTR suffix = name + local + 2;   // past " ("
    LPCWSTR end = suffix + wcslen(suffix);
    LPCWSTR close = wcschr(suffix, L')');
    if (!close || close == suffix)
        return FALSE;
    if (close + 1 == end)   // "(<words> N)"
        return TrailingNumber(suffix, close, session);
    // "(<words>) <words> N": exactly one group, then text without parentheses.
    if (close[1] != L' ' || wcschr(close + 1, L'(') || wcschr(close + 1, L')'))
        return FALSE;
    return TrailingNumber(close + 2, end, session);
}
