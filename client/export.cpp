// Printer properties: the local printer's device mode and two registry
// subtrees serialized as registry tree images.
//
// Image layout (little-endian, no padding):
//   header     total (4), key records (4), value records (4), name bytes (4)
//   key record name size (4), value count (4), relative path + NUL
//   value rec. name size (4), type (4), data size (4), data offset (4), name + NUL
//   data area  the values' data back to back, in record order
// Keys come depth-first in pre-order, each followed by its own values.
#include "client.h"
#include "log.h"
#include "module.h"
#include "raii.h"
#include <string.h>
#include <winspool.h>

#define IMAGE_HEADER_SIZE 16
#define KEY_RECORD_SIZE   8
#define VALUE_RECORD_SIZE 16
#define CCH_REG_NAME      CCH_REG_KEY_PATH   // key and value names, and every full key path

// The response's result field is the only header field a handler changes.
static void MarkFailed(CRdpData& response)
{
    if (response.Buffer())
        ((RDPHEADER*)response.Buffer())->RES = 1;
}

static void PutDWORD(BYTE* p, DWORD v)
{
    memcpy(p, &v, sizeof v);
}

static DWORD ReadDWORD(const BYTE* p)
{
    DWORD v;
    memcpy(&v, p, sizeof v);
    return v;
}

// "%s\%s", or the first part alone when the second is empty. Paths that do
// not fit are refused rather than cut: a cut path could name another key.
static DWORD JoinKeyPath(LPWSTR out, LPCWSTR first, LPCWSTR second)
{
    size_t a = lstrlenW(first), b = lstrlenW(second);
    size_t need = b ? a + 1 + b : a;
    if (need >= CCH_REG_NAME)
        return ERROR_FILENAME_EXCED_RANGE;
    if (b)
        FormatStr(out, CCH_REG_NAME, L"%s\\%s", first, second);
    else
        FormatStr(out, CCH_REG_NAME, L"%s", first);
    return ERROR_SUCCESS;
}

static BOOL EndsWithNul(const BYTE* name, DWORD nameSize)
{
    return nameSize >= 4 && name[nameSize - 2] == 0 && name[nameSize - 1] == 0;
}

static DWORD NameBytes(LPCWSTR name)
{
    return name[0] ? (DWORD)(lstrlenW(name) + 1) * sizeof(WCHAR) : 0;
}

// 16 + 8 x keys + 16 x values + name bytes (+ data bytes), or 0 on overflow.
static ULONGLONG ImageSize(const RegTreeCount& c, BOOL withData)
{
    ULONGLONG size = IMAGE_HEADER_SIZE + (ULONGLONG)KEY_RECORD_SIZE * c.keys +
                     (ULONGLONG)VALUE_RECORD_SIZE * c.values + c.nameBytes;
    if (withData)
        size += c.dataBytes;
    return size > 0x7FFFFFFF ? 0 : size;
}

static BOOL AddCount(DWORD* counter, DWORD amount)
{
    if (*counter > 0xFFFFFFFF - amount)
        return FALSE;
    *counter += amount;
    return TRUE;
}

static DWORD MeasureValues(HKEY key, DWORD values, RegTreeCount* count)
{
    for (DWORD i = 0; i < values; i++) {
        WCHAR name[CCH_REG_NAME];
        DWORD cchName = ARRAYSIZE(name), cbData = 0;
        LONG rc = RegEnumValueW(key, i, name, &cchName, nullptr, nullptr, nullptr, &cbData);
        if (rc != ERROR_SUCCESS)
            return rc;
        if (!AddCount(&count->values, 1) || !AddCount(&count->nameBytes, NameBytes(name)) ||
            !AddCount(&count->dataBytes, cbData))
            return ERROR_ARITHMETIC_OVERFLOW;
    }
    return ERROR_SUCCESS;
}

// The i-th subkey's name and its path relative to the exported key; both
// walks of the tree (measuring and writing) must name keys the same way.
static DWORD EnumChildKey(HKEY key, DWORD i, LPCWSTR relative, LPWSTR name /* CCH_REG_NAME */,
                          LPWSTR childRelative /* CCH_REG_NAME */)
{
    DWORD cchName = CCH_REG_NAME;
    LONG rc = RegEnumKeyExW(key, i, name, &cchName, nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS)
        return rc;
    return JoinKeyPath(childRelative, relative[0] ? relative : name, relative[0] ? name : L"");
}

static DWORD MeasureSubkeys(HKEY key, DWORD subkeys, LPCWSTR relative, RegTreeCount* count)
{
    for (DWORD i = 0; i < subkeys; i++) {
        WCHAR name[CCH_REG_NAME], childRelative[CCH_REG_NAME];
        DWORD status = EnumChildKey(key, i, relative, name, childRelative);
        if (status != ERROR_SUCCESS)
            return status;
        if (!AddCount(&count->nameBytes, NameBytes(childRelative)))
            return ERROR_ARITHMETIC_OVERFLOW;
        status = MeasureRegTree(key, name, childRelative, count);
        if (status != ERROR_SUCCESS)
            return status;
    }
    return ERROR_SUCCESS;
}

DWORD MeasureRegTree(HKEY parent, LPCWSTR subkey, LPCWSTR relative, RegTreeCount* count)
{
    LogScope scope(L"MeasureRegTree");
    if (!parent || !subkey || !relative || !count)
        return REG_STATUS_BAD_ARGUMENT;
    HKEY raw = nullptr;
    LONG rc = RegOpenKeyExW(parent, subkey, 0, KEY_READ, &raw);
    if (rc != ERROR_SUCCESS)
        return rc;
    UniqueKey key(raw);
    if (!AddCount(&count->keys, 1))
        return ERROR_ARITHMETIC_OVERFLOW;
    DWORD subkeys = 0, values = 0;
    rc = RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                          nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS)
        return rc;
    DWORD status = MeasureValues(key.get(), values, count);
    if (status == ERROR_SUCCESS)
        status = MeasureSubkeys(key.get(), subkeys, relative, count);
    if (status != ERROR_SUCCESS)
        return status;
    return RegCloseKey(key.release());
}

// Where the records end and the data area begins; the header's own fields say.
static DWORD RecordsEnd(const BYTE* image)
{
    RegTreeCount c = { ReadDWORD(image + 4), ReadDWORD(image + 8), ReadDWORD(image + 12), 0 };
    return (DWORD)ImageSize(c, FALSE);
}

static DWORD WriteValueRecords(HKEY key, DWORD values, BYTE* image, DWORD* cursor, DWORD* dataOffset)
{
    DWORD total = ReadDWORD(image);
    DWORD recordsEnd = RecordsEnd(image);
    for (DWORD i = 0; i < values; i++) {
        if (*cursor + VALUE_RECORD_SIZE > recordsEnd)
            return ERROR_MORE_DATA;
        BYTE* record = image + *cursor;
        WCHAR name[CCH_REG_NAME];
        DWORD cchName = ARRAYSIZE(name), type = 0, cbData = total - *dataOffset;
        LONG rc = RegEnumValueW(key, i, name, &cchName, nullptr, &type, image + *dataOffset, &cbData);
        if (rc != ERROR_SUCCESS)
            return rc;
        DWORD nameBytes = NameBytes(name);
        if (*cursor + VALUE_RECORD_SIZE + nameBytes > recordsEnd || cbData > total - *dataOffset)
            return ERROR_MORE_DATA;
        PutDWORD(record, nameBytes);
        PutDWORD(record + 4, type);
        PutDWORD(record + 8, cbData);
        PutDWORD(record + 12, *dataOffset);
        memcpy(record + VALUE_RECORD_SIZE, name, nameBytes);
        *dataOffset += cbData;
        *cursor += VALUE_RECORD_SIZE + nameBytes;
    }
    return ERROR_SUCCESS;
}

static DWORD WriteSubkeys(HKEY root, HKEY key, DWORD subkeys, LPCWSTR exportPath, LPCWSTR relative,
                          BYTE* image, DWORD* cursor, DWORD* dataOffset)
{
    for (DWORD i = 0; i < subkeys; i++) {
        WCHAR name[CCH_REG_NAME], childRelative[CCH_REG_NAME];
        DWORD status = EnumChildKey(key, i, relative, name, childRelative);
        if (status == ERROR_SUCCESS)
            status = WriteRegTreeKey(root, exportPath, childRelative, image, cursor, dataOffset);
        if (status != ERROR_SUCCESS)
            return status;
    }
    return ERROR_SUCCESS;
}

DWORD WriteRegTreeKey(HKEY root, LPCWSTR exportPath, LPCWSTR relative, BYTE* image, DWORD* cursor,
                      DWORD* dataOffset)
{
    LogScope scope(L"WriteRegTreeKey");
    if (!root || !exportPath || !relative || !image || !cursor || !dataOffset)
        return REG_STATUS_BAD_ARGUMENT;
    WCHAR fullPath[CCH_REG_NAME];
    DWORD status = JoinKeyPath(fullPath, exportPath, relative);
    if (status != ERROR_SUCCESS)
        return status;
    HKEY raw = nullptr;
    LONG rc = RegOpenKeyExW(root, fullPath, 0, KEY_READ, &raw);
    if (rc != ERROR_SUCCESS)
        return rc;
    UniqueKey key(raw);
    DWORD subkeys = 0, values = 0;
    rc = RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                          nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS)
        return rc;
    DWORD nameBytes = NameBytes(relative);
    if (*cursor + KEY_RECORD_SIZE + nameBytes > RecordsEnd(image))
        return ERROR_MORE_DATA;
    PutDWORD(image + *cursor, nameBytes);
    PutDWORD(image + *cursor + 4, values);
    memcpy(image + *cursor + KEY_RECORD_SIZE, relative, nameBytes);
    *cursor += KEY_RECORD_SIZE + nameBytes;

    status = WriteValueRecords(key.get(), values, image, cursor, dataOffset);
    if (status == ERROR_SUCCESS)
        status = WriteSubkeys(root, key.get(), subkeys, exportPath, relative, image, cursor, dataOffset);
    if (status != ERROR_SUCCESS)
        return status;
    return RegCloseKey(key.release());
}

DWORD ExportReg(HKEY root, LPCWSTR path, BYTE* image, DWORD* size)
{
    LogScope scope(L"ExportReg");
    if (!root || !path || !size)
        return REG_STATUS_BAD_ARGUMENT;
    RegTreeCount count = {};
    DWORD status = MeasureRegTree(root, path, L"", &count);
    if (status != ERROR_SUCCESS)
        return status;
    DWORD needed = (DWORD)ImageSize(count, TRUE);
    if (!needed)
        return ERROR_ARITHMETIC_OVERFLOW;
    if (!image) {
        *size = needed;
        return ERROR_SUCCESS;
    }
    if (*size < needed) {
        *size = needed;
        return REG_STATUS_BUFFER_SMALL;
    }
    PutDWORD(image, needed);
    PutDWORD(image + 4, count.keys);
    PutDWORD(image + 8, count.values);
    PutDWORD(image + 12, count.nameBytes);
    DWORD cursor = IMAGE_HEADER_SIZE;
    DWORD dataOffset = (DWORD)ImageSize(count, FALSE);
    status = WriteRegTreeKey(root, path, L"", image, &cursor, &dataOffset);
    if (status != ERROR_SUCCESS)
        return status;
    // A tree that lost keys, values or data while it was being written leaves
    // records or data short of what the header promises.
    if (cursor != ImageSize(count, FALSE) || dataOffset != needed || !CheckRegTreeImage(image, needed))
        return ERROR_INVALID_DATA;
    *size = needed;
    return ERROR_SUCCESS;
}

BOOL CheckRegTreeImage(const BYTE* image, DWORD size)
{
    if (!image || size < IMAGE_HEADER_SIZE || ReadDWORD(image) != size)
        return FALSE;
    DWORD keys = ReadDWORD(image + 4), values = ReadDWORD(image + 8);
    DWORD dataStart = RecordsEnd(image);
    if (keys == 0 || dataStart == 0 || dataStart > size)
        return FALSE;
    DWORD pos = IMAGE_HEADER_SIZE, names = 0, valuesSeen = 0, nextData = dataStart;
    for (DWORD k = 0; k < keys; k++) {
        if (dataStart - pos < KEY_RECORD_SIZE)
            return FALSE;
        DWORD nameSize = ReadDWORD(image + pos), keyValues = ReadDWORD(image + pos + 4);
        if ((k == 0) != (nameSize == 0) || nameSize % 2 || dataStart - pos - KEY_RECORD_SIZE < nameSize ||
            (nameSize && !EndsWithNul(image + pos + KEY_RECORD_SIZE, nameSize)))
            return FALSE;
        pos += KEY_RECORD_SIZE + nameSize;
        names += nameSize;
        for (DWORD v = 0; v < keyValues; v++, valuesSeen++) {
            if (dataStart - pos < VALUE_RECORD_SIZE)
                return FALSE;
            DWORD valueName = ReadDWORD(image + pos), dataSize = ReadDWORD(image + pos + 8);
            DWORD offset = ReadDWORD(image + pos + 12);
            if (valueName % 2 || dataStart - pos - VALUE_RECORD_SIZE < valueName || offset != nextData ||
                size - offset < dataSize || (valueName && !EndsWithNul(image + pos + VALUE_RECORD_SIZE, valueName)))
                return FALSE;
            nextData += dataSize;
            pos += VALUE_RECORD_SIZE + valueName;
            names += valueName;
        }
    }
    return pos == dataStart && valuesSeen == values && names == ReadDWORD(image + 12) && nextData == size;
}

void GetDevMode(LPCWSTR printer, CRdpData& response)
{
    static const LPCWSTR FN = L"GetDevMode";
    LogScope scope(FN);
    HANDLE raw = nullptr;
    if (!OpenPrinterW((LPWSTR)printer, &raw, nullptr)) {
        LogPrintf(LOG_E, FN, L",%s,OpenPrinter(),error %d", printer, GetLastError());
        MarkFailed(response);
        return;
    }
    UniquePrinter handle(raw);
    BOOL appended = FALSE;
    LONG size = DocumentPropertiesW(nullptr, handle.get(), (LPWSTR)printer, nullptr, nullptr, 0);
    if (size <= 0) {
        LogPrintf(LOG_E, FN, L",%s,DocumentProperties(),get size error %d", printer, GetLastError());
    } else {
        // The driver may write a little more than it announced; the slack
        // keeps that inside the buffer, and only `size` bytes are sent.
        BYTE* devmode = (BYTE*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (SIZE_T)size + 64);
        if (devmode && DocumentPropertiesW(nullptr, handle.get(), (LPWSTR)printer, (PDEVMODEW)devmode, nullptr,
                                           DM_OUT_BUFFER) == IDOK) {
            LogPrintf(32, FN, L",DocumentProperties,get devmode,OK");
            response.AddDWORD((DWORD)size);
            response.AddBuf(devmode, (DWORD)size);
            appended = TRUE;
        } else {
            LogPrintf(LOG_E, FN, L",%s,DocumentProperties(),get DEVMODE error %d", printer, GetLastError());
        }
        if (devmode)
            HeapFree(GetProcessHeap(), 0, devmode);
    }
    handle.reset();
    if (!appended)
        MarkFailed(response);
}

int ExportRegTree(int selector, LPCWSTR path, CRdpData& response)
{
    static const LPCWSTR FN = L"ExportRegTree";
    LogScope scope(FN);
    HKEY root = selector ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    RegTreeCount count = {};
    // An empty path would name the whole hive: no printer's data lives there.
    DWORD status = path && path[0] ? MeasureRegTree(root, path, L"", &count) : REG_STATUS_BAD_ARGUMENT;
    if (status != ERROR_SUCCESS) {
        LogPrintf(LOG_W, FN, L",ExportReg size,error %d", status);
        response.AddDWORD(0);
        if (root == HKEY_LOCAL_MACHINE || status != ERROR_FILE_NOT_FOUND) {
            MarkFailed(response);
            return 0;
        }
        return 1;
    }
    DWORD size = (DWORD)ImageSize(count, TRUE);
    BYTE* image = size ? (BYTE*)HeapAlloc(GetProcessHeap(), 0, size) : nullptr;
    status = image ? ExportReg(root, path, image, &size) : (DWORD)ERROR_NOT_ENOUGH_MEMORY;
    if (status != ERROR_SUCCESS) {
        LogPrintf(LOG_E, FN, L",ExportReg data,error %d", status);
        if (image)
            HeapFree(GetProcessHeap(), 0, image);
        MarkFailed(response);
        response.AddDWORD(0);
        return 0;
    }
    LogPrintf(32, FN, L",ExportReg,,OK");
    response.AddDWORD(size);
    response.AddBuf(image, size);
    HeapFree(GetProcessHeap(), 0, image);
    return 1;
}

// The PC's own printers as its spooler lists them, local ones and
// connections; checks the request against them. Nothing is opened by a name
// the request carries before it passed.
static int CheckAgainstSpooler(LPCWSTR printer, LPCWSTR hklmPath, LPCWSTR hkcuPath)
{
    static const LPCWSTR FN = L"GetProperties";
    const DWORD flags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
    DWORD needed = 0, count = 0;
    if (!EnumPrintersW(flags, nullptr, 4, nullptr, 0, &needed, &count) && GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        LogPrintf(LOG_E, FN, L",EnumPrinters,error %d", GetLastError());
        return PROP_UNKNOWN_PRINTER;
    }
    UniqueHeapBlock list(needed ? HeapAlloc(GetProcessHeap(), 0, needed) : nullptr);
    count = 0;
    if (needed && (!list || !EnumPrintersW(flags, nullptr, 4, (BYTE*)list.get(), needed, &needed, &count))) {
        LogPrintf(LOG_E, FN, L",EnumPrinters,error %d", GetLastError());
        return PROP_UNKNOWN_PRINTER;
    }
    return CheckPropertiesRequest(printer, hklmPath, hkcuPath, (const PRINTER_INFO_4W*)list.get(), count);
}

CRdpData GetProperties()
{
    static const LPCWSTR FN = L"GetProperties";
    LogScope scope(FN, 64);
    WCHAR printer[CCH_PRINTER_NAME], hklmPath[CCH_REG_PATH], hkcuPath[CCH_REG_PATH];
    // A string that does not fit its buffer is a malformed request, never cut.
    if (!g_pRecvData || g_pRecvData->GetString(printer, ARRAYSIZE(printer)) == RDP_STRING_BAD ||
        g_pRecvData->GetString(hklmPath, ARRAYSIZE(hklmPath)) == RDP_STRING_BAD ||
        g_pRecvData->GetString(hkcuPath, ARRAYSIZE(hkcuPath)) == RDP_STRING_BAD) {
        LogPrintf(LOG_E, FN, L",malformed request");
        throw RdpException{ RDP_RES_EXCEPTION };
    }
    LogPrintf(128, FN, L",local printer,%s", printer);
    LogPrintf(128, FN, L",reg printer,,%s", hklmPath);
    LogPrintf(128, FN, L",reg user,,%s", hkcuPath);
    CRdpData response(RDP_CMD_GETPROPERTIES, RDP_RES_OK);
    int refusal = CheckAgainstSpooler(printer, hklmPath, hkcuPath);
    if (refusal != PROP_OK) {
        // The same reply as for a printer that is not there: no device mode,
        // no machine data, no user data.
        LogPrintf(LOG_W, FN, L",refused,%s", PropertiesRefusalName(refusal));
        MarkFailed(response);
        response.AddDWORD(0);
        response.AddDWORD(0);
        return response;
    }
    GetDevMode(printer, response);
    ExportRegTree(1, hklmPath, response);
    ExportRegTree(0, hkcuPath, response);
    return response;
}
