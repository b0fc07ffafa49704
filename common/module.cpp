#include "module.h"
#include <stdarg.h>
#include <stdio.h>

HINSTANCE g_hInst = nullptr;
ModuleKind g_ModuleKind = MODULE_SERVER;
WCHAR g_szUserName[256] = L"";

int FormatStrV(LPWSTR buf, size_t cch, LPCWSTR fmt, va_list args)
{
    if (!buf || cch == 0)
        return 0;
    // _vsnwprintf leaves the buffer unterminated when the text fills it.
    int n = _vsnwprintf(buf, cch - 1, fmt, args);
    buf[cch - 1] = 0;
    if (n < 0 || (size_t)n >= cch - 1) {
        buf[cch - 1] = 0;
        return (int)wcslen(buf);
    }
    return n;
}

int FormatStr(LPWSTR buf, size_t cch, LPCWSTR fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    int n = FormatStrV(buf, cch, fmt, args);
    va_end(args);
    return n;
}
