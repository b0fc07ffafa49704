#include "clienttest.h"
#include <shlobj.h>
#include <shlwapi.h>
#include <algorithm>
#include <string.h>

Payload& Payload::Dword(DWORD v)
{
    return Raw(&v, sizeof v);
}

Payload& Payload::Str(const std::wstring& s)
{
    return Raw(s.c_str(), (s.size() + 1) * sizeof(WCHAR));
}

Payload& Payload::Raw(const void* p, size_t n)
{
    const BYTE* b = (const BYTE*)p;
    b_.insert(b_.end(), b, b + n);
    return *this;
}

Payload& Payload::Buf(const Bytes& b)
{
    Dword((DWORD)b.size());
    return Raw(b.data(), b.size());
}

Bytes MakeMessage(WORD cmd, const Bytes& payload, WORD res)
{
    Bytes m(8);
    DWORD len = (DWORD)payload.size();
    memcpy(&m[0], &len, 4);
    memcpy(&m[4], &cmd, 2);
    memcpy(&m[6], &res, 2);
    m.insert(m.end(), payload.begin(), payload.end());
    return m;
}

Bytes MakeBlock(const Bytes& data, WORD seq, WORD flags, DWORD dwLength)
{
    Bytes b(8);
    memcpy(&b[0], &dwLength, 4);
    memcpy(&b[4], &seq, 2);
    memcpy(&b[6], &flags, 2);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

std::vector<Bytes> CutBlocks(const Bytes& message)
{
    std::vector<Bytes> blocks;
    size_t done = 0;
    WORD seq = 0;
    while (done < message.size()) {
        size_t slice = std::min<size_t>(message.size() - done, 6392);
        WORD flags = (seq == 0 ? 1 : 0) | (done + slice == message.size() ? 2 : 0);
        Bytes data(message.begin() + done, message.begin() + done + slice);
        blocks.push_back(MakeBlock(data, seq, flags, (DWORD)slice));
        done += slice;
        seq++;
    }
    return blocks;
}

ReplyView::ReplyView(const Bytes& message) : len(0), cmd(0), res(0), pos(0), bytes(message)
{
    if (bytes.size() >= 8) {
        memcpy(&len, &bytes[0], 4);
        memcpy(&cmd, &bytes[4], 2);
        memcpy(&res, &bytes[6], 2);
    }
}

DWORD ReplyView::Dword()
{
    DWORD v = 0xDEADBEEF;
    if (Left() >= 4) {
        memcpy(&v, &bytes[8 + pos], 4);
        pos += 4;
    }
    return v;
}

std::wstring ReplyView::Str()
{
    std::wstring s;
    while (Left() >= 2) {
        WCHAR c;
        memcpy(&c, &bytes[8 + pos], 2);
        pos += 2;
        if (!c)
            break;
        s += c;
    }
    return s;
}

Bytes ReplyView::Raw(size_t n)
{
    n = std::min(n, Left());
    Bytes b(bytes.begin() + 8 + pos, bytes.begin() + 8 + pos + n);
    pos += n;
    return b;
}

std::wstring UniqueName(const std::wstring& tag)
{
    return tag + L"-" + std::to_wstring(GetCurrentProcessId());
}

Bytes ReadFileBytes(const std::wstring& path)
{
    Bytes b;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return b;
    DWORD size = GetFileSize(h, nullptr), got = 0;
    b.resize(size);
    if (size && !ReadFile(h, b.data(), size, &got, nullptr))
        got = 0;
    b.resize(got);
    CloseHandle(h);
    return b;
}

bool WriteFileBytes(const std::wstring& path, const Bytes& bytes)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD done = 0;
    BOOL ok = bytes.empty() || WriteFile(h, bytes.data(), (DWORD)bytes.size(), &done, nullptr);
    CloseHandle(h);
    return ok && done == bytes.size();
}

std::wstring SimFolder()
{
    WCHAR exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, ARRAYSIZE(exe));
    PathRemoveFileSpecW(exe);
    PathAppendW(exe, L"..\\sim\\");
    WCHAR full[MAX_PATH];
    GetFullPathNameW(exe, ARRAYSIZE(full), full, nullptr);
    return full;
}

std::wstring UserName()
{
    WCHAR name[256];
    DWORD cch = ARRAYSIZE(name);
    return GetUserNameW(name, &cch) ? name : L"";
}

std::string ReadLogText(const std::wstring& serverName)
{
    WCHAR folder[MAX_PATH];
    if (!SHGetSpecialFolderPathW(nullptr, folder, CSIDL_LOCAL_APPDATA, TRUE))
        return "";
    std::wstring path = std::wstring(folder) + L"\\Halvren KT\\Quorvane\\Log\\Quorvane_CL(" + UserName() + L")(" +
                        serverName + L").log";
    Bytes b = ReadFileBytes(path);
    return std::string(b.begin(), b.end());
}
