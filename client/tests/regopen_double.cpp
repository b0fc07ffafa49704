// Records each registry open by the full path it names; keys opened below a
// recorded handle are named through it.
#include <windows.h>
#include <map>
#include <string>
#include <vector>

std::vector<std::wstring> TakeRegOpens();

static std::vector<std::wstring> g_opens;
static std::map<HKEY, std::wstring> g_handles;

static std::wstring NameOf(HKEY root)
{
    if (root == HKEY_LOCAL_MACHINE)
        return L"HKLM";
    if (root == HKEY_CURRENT_USER)
        return L"HKCU";
    auto it = g_handles.find(root);
    return it == g_handles.end() ? L"?" : it->second;
}

LONG WINAPI LoggedRegOpenKeyExW(HKEY root, LPCWSTR subkey, DWORD options, REGSAM sam, PHKEY result)
{
    std::wstring path = NameOf(root);
    if (subkey && subkey[0])
        path += std::wstring(L"\\") + subkey;
    g_opens.push_back(path);
    LONG rc = RegOpenKeyExW(root, subkey, options, sam, result);
    if (rc == ERROR_SUCCESS && result)
        g_handles[*result] = path;
    return rc;
}

std::vector<std::wstring> TakeRegOpens()
{
    std::vector<std::wstring> opens;
    opens.swap(g_opens);
    return opens;
}
