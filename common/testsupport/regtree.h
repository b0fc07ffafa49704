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

// A private key under Software\QuorvaneTest of HKEY_CURRENT_USER (or the
// root given), unique to the test process and case, deleted with its whole
// tree when it goes; the shared parent goes with the last of them, so that
// nothing of a test is left under HKEY_LOCAL_MACHINE.
class ScratchKey {
public:
    explicit ScratchKey(LPCWSTR tag) : ScratchKey(HKEY_CURRENT_USER, tag) {}
    ScratchKey(HKEY root, const std::wstring& tag);
    ~ScratchKey();
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;
    const std::wstring& Path() const { return path_; }   // relative to the root
    const std::wstring& path() const { return path_; }
    std::wstring Sub(const std::wstring& name) const { return path_ + L"\\" + name; }
    // Relative paths below the key; empty: the key itself.
    void CreateKey(const std::wstring& relative) const;
    void SetValue(const std::wstring& relative, const std::wstring& name, DWORD type, const void* data,
                  DWORD size) const;
    void SetDword(const std::wstring& relative, const std::wstring& name, DWORD value) const;
private:
    HKEY root_;
    std::wstring path_;
};
