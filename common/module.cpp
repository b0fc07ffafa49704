#include "module.h"
#include <stdarg.h>
#include <stdio.h>
#include <wchar.h>
#include "raii.h"

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

int DeleteLeftoverFiles(LPCWSTR folder, LPCWSTR pattern, BOOL (*ours)(LPCWSTR path))
{
    WCHAR search[MAX_PATH], path[MAX_PATH];
    size_t len = wcslen(folder);
    if (len + wcslen(pattern) >= MAX_PATH)
        return 0;
    FormatStr(search, MAX_PATH, L"%s%s", folder, pattern);
    WIN32_FIND_DATAW found;
    UniqueFind find(FindFirstFileW(search, &found));
    if (!find)
        return 0;
    int deleted = 0;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY || len + wcslen(found.cFileName) >= MAX_PATH)
            continue;
        FormatStr(path, MAX_PATH, L"%s%s", folder, found.cFileName);
        if ((!ours || ours(path)) && DeleteFileW(path))
            deleted++;
    } while (FindNextFileW(find.get(), &found));
    return deleted;
}
