#include "module.h"
#include "regtree.h"
#include "regimage.h"
#include <stdio.h>
#include <string.h>

static void DumpKey(HKEY key, const std::wstring& relative, std::wstring& out)
{
    out += L"[" + relative + L"]\n";
    for (DWORD i = 0;; i++) {
        WCHAR name[256];
        DWORD cchName = ARRAYSIZE(name), type = 0, cbData = 0;
        if (RegEnumValueW(key, i, name, &cchName, nullptr, &type, nullptr, &cbData) != ERROR_SUCCESS)
            break;
        std::vector<BYTE> data(cbData + 1);
        cchName = ARRAYSIZE(name);
        RegEnumValueW(key, i, name, &cchName, nullptr, &type, data.data(), &cbData);
        WCHAR line[64];
        FormatStr(line, ARRAYSIZE(line), L" type=%lu size=%lu:", type, cbData);
        out += std::wstring(L"  \"") + name + L"\"" + line;
        for (DWORD b = 0; b < cbData; b++) {
            FormatStr(line, ARRAYSIZE(line), L"%02x", data[b]);
            out += line;
        }
        out += L"\n";
    }
    for (DWORD i = 0;; i++) {
        WCHAR name[256];
        DWORD cchName = ARRAYSIZE(name);
        if (RegEnumKeyExW(key, i, name, &cchName, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        HKEY sub;
        if (RegOpenKeyExW(key, name, 0, KEY_READ, &sub) == ERROR_SUCCESS) {
            DumpKey(sub, relative.empty() ? name : relative + L"\\" + name, out);
            RegCloseKey(sub);
        }
    }
}

std::wstring DumpTree(HKEY root, const std::wstring& path)
{
    HKEY key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return L"<missing>";
    std::wstring out;
    DumpKey(key, L"", out);
    RegCloseKey(key);
    return out;
}

static void Put32(std::vector<BYTE>& img, DWORD v)
{
    for (int i = 0; i < 4; i++)
        img.push_back((BYTE)(v >> (8 * i)));
}

static DWORD NameSize(const std::wstring& s)
{
    return s.empty() ? 0 : (DWORD)(s.size() + 1) * 2;
}

static void PutName(std::vector<BYTE>& img, const std::wstring& s)
{
    if (s.empty())
        return;
    for (WCHAR c : s) {
        img.push_back((BYTE)c);
        img.push_back((BYTE)(c >> 8));
    }
    img.push_back(0);
    img.push_back(0);
}

std::vector<BYTE> BuildImage(const std::vector<ImageKey>& keys)
{
    DWORD values = 0, names = 0, data = 0;
    for (const ImageKey& k : keys) {
        names += NameSize(k.relative);
        for (const ImageValue& v : k.values) {
            values++;
            names += NameSize(v.name);
            data += (DWORD)v.data.size();
        }
    }
    DWORD dataStart = 16 + 8 * (DWORD)keys.size() + 16 * values + names;
    std::vector<BYTE> img;
    Put32(img, dataStart + data);
    Put32(img, (DWORD)keys.size());
    Put32(img, values);
    Put32(img, names);
    std::vector<BYTE> area;
    for (const ImageKey& k : keys) {
        Put32(img, NameSize(k.relative));
        Put32(img, (DWORD)k.values.size());
        PutName(img, k.relative);
        for (const ImageValue& v : k.values) {
            Put32(img, NameSize(v.name));
            Put32(img, v.type);
            Put32(img, (DWORD)v.data.size());
            Put32(img, dataStart + (DWORD)area.size());
            PutName(img, v.name);
            area.insert(area.end(), v.data.begin(), v.data.end());
        }
    }
    img.insert(img.end(), area.begin(), area.end());
    return img;
}

std::vector<BYTE> DwordData(DWORD v)
{
    std::vector<BYTE> d;
    Put32(d, v);
    return d;
}

std::vector<BYTE> SzData(const std::wstring& s)
{
    std::vector<BYTE> d;
    PutName(d, s);
    if (d.empty()) {
        d.push_back(0);
        d.push_back(0);
    }
    return d;
}

void SetValue(HKEY root, const std::wstring& path, LPCWSTR name, DWORD type, const std::vector<BYTE>& data)
{
    HKEY key;
    if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) == ERROR_SUCCESS) {
        RegSetValueExW(key, name, 0, type, data.data(), (DWORD)data.size());
        RegCloseKey(key);
    }
}

bool KeyExists(HKEY root, const std::wstring& path)
{
    HKEY key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

static LONG g_scratchCount;

ScratchKey::ScratchKey(HKEY root, const std::wstring& tag) : root_(root)
{
    WCHAR name[160];
    FormatStr(name, ARRAYSIZE(name), L"Software\\QuorvaneTest\\%s-%lu-%ld", tag.c_str(), GetCurrentProcessId(),
              InterlockedIncrement(&g_scratchCount));
    path_ = name;
    RegDeleteTreeW(root_, path_.c_str());
    CreateKey(L"");
}

ScratchKey::~ScratchKey()
{
    RegDeleteTreeW(root_, path_.c_str());
    RegDeleteKeyW(root_, path_.c_str());
    RegDeleteKeyW(root_, L"Software\\QuorvaneTest");   // fails while another test's key is under it
}

void ScratchKey::CreateKey(const std::wstring& relative) const
{
    HKEY k;
    std::wstring p = relative.empty() ? path_ : Sub(relative);
    if (RegCreateKeyExW(root_, p.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr) == ERROR_SUCCESS)
        RegCloseKey(k);
}

void ScratchKey::SetValue(const std::wstring& relative, const std::wstring& name, DWORD type, const void* data,
                          DWORD size) const
{
    const BYTE* p = (const BYTE*)data;
    ::SetValue(root_, relative.empty() ? path_ : Sub(relative), name.empty() ? nullptr : name.c_str(), type,
               std::vector<BYTE>(p, p + size));
}

void ScratchKey::SetDword(const std::wstring& relative, const std::wstring& name, DWORD value) const
{
    SetValue(relative, name, REG_DWORD, &value, sizeof value);
}
