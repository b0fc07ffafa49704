#include "testutil.h"
#include <shellapi.h>
#include "module.h"

namespace svtest {

TempFolder::TempFolder(LPCWSTR tag)
{
    WCHAR temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    FormatStr(path_, MAX_PATH, L"%sqvsv_%s_%lu", temp, tag, GetCurrentProcessId());
    CreateDirectoryW(path_, nullptr);
}

TempFolder::~TempFolder()
{
    WCHAR from[MAX_PATH + 2] = {};
    lstrcpynW(from, path_, MAX_PATH);   // double-terminated for SHFileOperation
    SHFILEOPSTRUCTW op = {};
    op.wFunc = FO_DELETE;
    op.pFrom = from;
    op.fFlags = FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
    SHFileOperationW(&op);
}

std::wstring TempFolder::File(LPCWSTR name) const
{
    return std::wstring(path_) + L"\\" + name;
}

}  // namespace svtest
