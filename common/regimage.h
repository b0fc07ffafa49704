// Registry tree image: one registry subtree serialized by the client module
// and applied by the registry operations on the server. All integers are
// 32-bit little-endian, all names UTF-16LE with their NUL, no padding.
//
//   header (16)  | key record (8 + name) | its value records (16 + name each)
//                | next key record ...   | data area (values' data back to back)
#pragma once
#include <windows.h>

// Status values of the registry and file operations beside the Windows codes.
#define REG_STATUS_BAD_ARGUMENT 0x10100000   // missing argument, malformed image or request
#define REG_STATUS_BUFFER_SMALL 0x10100001   // two-call protocol: buffer too small

// Key paths live in 256-character buffers.
#define CCH_REG_KEY_PATH 256

#pragma pack(push, 1)
struct REGIMAGEHEADER {
    DWORD dwTotalSize;   // header, records, names and data
    DWORD dwKeys;        // key records, the exported key itself included
    DWORD dwValues;      // value records in the whole image
    DWORD dwNameBytes;   // sum of the name-size fields of all records
};
struct REGKEYRECORD {
    DWORD cbName;        // 0 for the exported key, else (characters + 1) * 2
    DWORD dwValues;      // value records that follow this record
    // WCHAR name[]: path relative to the exported key
};
struct REGVALUERECORD {
    DWORD cbName;        // 0 for the unnamed (default) value
    DWORD dwType;
    DWORD cbData;
    DWORD dwDataOffset;  // from the start of the image
    // WCHAR name[]
};
#pragma pack(pop)
