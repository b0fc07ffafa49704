// Test helpers: registry subtrees as comparable text, registry tree images
// built from a plain description, and private scratch keys.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

// Every key (relative path), value (name, type, data in hex) of the subtree,
// one per line, subkeys in enumeration order. "<missing>" when the key does
// not exist.
std::wstring DumpTree(HKEY root, const std::wstring& path);

struct ImageValue {
    std::wstring name;   // empty: the default value
    DWORD type;
    std::vector<BYTE> data;
};
struct ImageKey {
    std::wstring relative;   // empty: the exported key itself
    std::vector<ImageValue> values;
};
// Lays the keys out exactly as the client's exporter does (header, records
// in the given order, data area).
std::vector<BYTE> BuildImage(const std::vector<ImageKey>& keys);

std::vector<BYTE> DwordData(DWORD v);
std::vector<BYTE> SzData(const std::wstring& s);

void SetValue(HKEY root, const std::wstring& path, LPCWSTR name, DWORD type, const std::vector<BYTE>& data);
bool KeyExists(HKEY root, const std::wstring& path);

// A private key under HKEY_CURRENT_USER\Software\QuorvaneTest, unique to the
// test process and case, deleted with its whole tree when it goes.
class ScratchKey {
public:
    explicit ScratchKey(LPCWSTR tag);
    ~ScratchKey();
    const std::wstring& Path() const { return path_; }
    std::wstring Sub(const std::wstring& name) const { return path_ + L"\\" + name; }
private:
    std::wstring path_;
};
