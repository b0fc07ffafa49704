// What the add-in takes from a terminal server it has no reason to trust.
// The add-in is loaded for every connection, to any server: a properties
// request may name only one of the PC's own printers and that printer's two
// keys, and an update may only be a library that could be this add-in. Both
// checks are pure (no I/O), so that tests and mutation runs drive them
// directly; the callers gather what the PC itself lists.
#include "client.h"
#include <string.h>
#include <wchar.h>

static const WCHAR kMachinePrefix[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\";
static const WCHAR kMachineSuffix[] = L"\\PrinterDriverData";
static const WCHAR kUserPrefix[] = L"Software\\Halvren\\";
static const char kEntryName[] = "VirtualChannelEntry";

// The spooler compares printer names without regard to case.
static BOOL SamePrinterName(LPCWSTR a, LPCWSTR b)
{
    return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

static BOOL IsListedPrinter(LPCWSTR printer, const PRINTER_INFO_4W* listed, DWORD count)
{
    if (!printer[0] || !listed)
        return FALSE;
    for (DWORD i = 0; i < count; i++)
        if (listed[i].pPrinterName && SamePrinterName(printer, listed[i].pPrinterName))
            return TRUE;
    return FALSE;
}

// `path` is exactly prefix + printer + suffix, character for character.
static BOOL IsExactly(LPCWSTR path, LPCWSTR prefix, LPCWSTR printer, LPCWSTR suffix)
{
    size_t a = wcslen(prefix), b = wcslen(printer);
    return wcsncmp(path, prefix, a) == 0 && wcsncmp(path + a, printer, b) == 0 && wcscmp(path + a + b, suffix) == 0;
}

// Software\Halvren\<one key name>\<printer>: the key name is whatever the
// driver's data lives under, but a single, real name.
static BOOL IsUserPath(LPCWSTR path, LPCWSTR printer)
{
    size_t a = wcslen(kUserPrefix);
    if (wcsncmp(path, kUserPrefix, a) != 0)
        return FALSE;
    LPCWSTR component = path + a;
    LPCWSTR end = wcschr(component, L'\\');
    if (!end || end == component)
        return FALSE;
    size_t n = (size_t)(end - component);
    if ((n == 1 && component[0] == L'.') || (n == 2 && component[0] == L'.' && component[1] == L'.'))
        return FALSE;
    return wcscmp(end + 1, printer) == 0;
}

int CheckPropertiesRequest(LPCWSTR printer, LPCWSTR hklmPath, LPCWSTR hkcuPath, const PRINTER_INFO_4W* listed,
                           DWORD count)
{
    if (!printer || !hklmPath || !hkcuPath || !IsListedPrinter(printer, listed, count))
        return PROP_UNKNOWN_PRINTER;
    if (!IsExactly(hklmPath, kMachinePrefix, printer, kMachineSuffix))
        return PROP_MACHINE_PATH;
    if (!IsUserPath(hkcuPath, printer))
        return PROP_USER_PATH;
    return PROP_OK;
}

LPCWSTR PropertiesRefusalName(int refusal)
{
    switch (refusal) {
    case PROP_OK:              return L"ok";
    case PROP_UNKNOWN_PRINTER: return L"printer not listed by the spooler";
    case PROP_MACHINE_PATH:    return L"not the printer's driver data key";
    case PROP_USER_PATH:       return L"not the printer's user key";
    }
    return L"?";
}

// --- the library file of an update ------------------------------------------

struct ImageView {
    const BYTE* file;
    DWORD size;
    DWORD sections;       // file offset of the section table
    DWORD sectionCount;
};

static DWORD Read32(const BYTE* p)
{
    DWORD v;
    memcpy(&v, p, sizeof v);
    return v;
}

static WORD Read16(const BYTE* p)
{
    WORD v;
    memcpy(&v, p, sizeof v);
    return v;
}

// The file offset of `bytes` bytes at an RVA, when one section's raw data
// holds them all; 0 otherwise (offset 0 is the DOS header, never an RVA's).
static DWORD RvaToOffset(const ImageView& v, DWORD rva, DWORD bytes)
{
    for (DWORD i = 0; i < v.sectionCount; i++) {
        const BYTE* s = v.file + v.sections + i * 40;
        ULONGLONG va = Read32(s + 12), raw = Read32(s + 16), pos = Read32(s + 20);
        if (rva < va || rva - va >= raw || rva - va + bytes > raw || pos + raw > v.size)
            continue;
        return (DWORD)(pos + (rva - va));
    }
    return 0;
}

static BOOL ExportsEntry(const ImageView& v, DWORD exportRva)
{
    DWORD dir = RvaToOffset(v, exportRva, 40);
    if (!dir)
        return FALSE;
    // NumberOfFunctions (4) at 20, NumberOfNames (4) at 24, AddressOfNames (4) at 32
    DWORD names = Read32(v.file + dir + 24), nameTable = Read32(v.file + dir + 32);
    if (names > 0x10000)
        return FALSE;
    DWORD table = names ? RvaToOffset(v, nameTable, names * 4) : 0;
    for (DWORD i = 0; table && i < names; i++) {
        DWORD at = RvaToOffset(v, Read32(v.file + table + i * 4), sizeof kEntryName);
        if (at && memcmp(v.file + at, kEntryName, sizeof kEntryName) == 0)
            return TRUE;
    }
    return FALSE;
}

int CheckAddinImage(const BYTE* file, DWORD size, WORD machine)
{
    // DOS header: "MZ", e_lfanew (4) at 0x3C
    if (!file || size < 0x40 || file[0] != 'M' || file[1] != 'Z')
        return IMAGE_NOT_PE;
    ULONGLONG nt = Read32(file + 0x3C);
    if (nt + 24 > size || memcmp(file + nt, "PE\0\0", 4) != 0)
        return IMAGE_NOT_PE;
    // File header: Machine (2), NumberOfSections (2), SizeOfOptionalHeader (2) at 16, Characteristics (2) at 18
    const BYTE* fh = file + nt + 4;
    WORD sectionCount = Read16(fh + 2), optSize = Read16(fh + 16), flags = Read16(fh + 18);
    if (Read16(fh) != machine)
        return IMAGE_OTHER_MACHINE;
    if (!(flags & IMAGE_FILE_DLL))
        return IMAGE_NOT_DLL;
    ULONGLONG opt = nt + 24;
    if (opt + optSize > size || optSize < 2)
        return IMAGE_NOT_PE;
    // Optional header: Magic (2); NumberOfRvaAndSizes (4) at 92 or 108, directories after it
    WORD magic = Read16(file + opt);
    BOOL wide = machine == IMAGE_FILE_MACHINE_AMD64;
    if (magic != (wide ? 0x20B : 0x10B))
        return IMAGE_OTHER_MACHINE;
    DWORD dirCountAt = wide ? 108 : 92;
    if (optSize < dirCountAt + 4 + 8 || Read32(file + opt + dirCountAt) < 1)
        return IMAGE_NO_ENTRY;
    DWORD exportRva = Read32(file + opt + dirCountAt + 4);
    ULONGLONG sections = opt + optSize;
    if (sections + (ULONGLONG)sectionCount * 40 > size)
        return IMAGE_NOT_PE;
    ImageView v = { file, size, (DWORD)sections, sectionCount };
    return ExportsEntry(v, exportRva) ? IMAGE_OK : IMAGE_NO_ENTRY;
}

LPCWSTR AddinImageRefusalName(int refusal)
{
    switch (refusal) {
    case IMAGE_OK:            return L"ok";
    case IMAGE_NOT_PE:        return L"not a PE file";
    case IMAGE_OTHER_MACHINE: return L"other machine type";
    case IMAGE_NOT_DLL:       return L"not a DLL";
    case IMAGE_NO_ENTRY:      return L"no VirtualChannelEntry export";
    }
    return L"?";
}
