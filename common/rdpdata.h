// One channel message (8-byte header + packed payload items) and the block
// framing in which the server sends every message to the client.
#pragma once
#include <windows.h>

typedef WORD RDPRESULT;

#pragma pack(push, 1)
struct RDPHEADER {
    DWORD len;   // payload bytes after the header
    WORD CMD;
    WORD RES;
};
struct RDPBLOCKHEADER {
    DWORD dwLength;   // data bytes in this block, 1..RDP_BLOCK_DATA_MAX
    WORD wSeq;        // 0 for the first block of a message
    WORD wFlags;      // BLOCK_FLAG_*
};
#pragma pack(pop)

#define BLOCK_FLAG_MIDDLE 0
#define BLOCK_FLAG_FIRST  1
#define BLOCK_FLAG_LAST   2
#define BLOCK_FLAG_ONLY   3
#define RDP_BLOCK_DATA_MAX 6392
#define RDP_BLOCK_MAX      (RDP_BLOCK_DATA_MAX + sizeof(RDPBLOCKHEADER))

// Raised (thrown) by the client-side framing and request handling; becomes
// the RES of an error reply. Every CRdpData operation that allocates also
// raises RDP_RES_EXCEPTION when its heap is out of memory (on either side),
// since message heaps report a failed allocation by a null block.
struct RdpException {
    RDPRESULT res;
};

// GetString's answer for a string that is unterminated within the payload or
// longer than the destination (and for a message without a buffer).
#define RDP_STRING_BAD ((DWORD)-1)

class CRdpData {
public:
    CRdpData();
    CRdpData(WORD cmd, WORD res);
    explicit CRdpData(const RDPHEADER& header);   // server: payload appended by the caller
    CRdpData(const CRdpData& src);                // deep copy into a heap of its own
    virtual ~CRdpData();
    CRdpData& operator=(const CRdpData& src);
    void CopyObject(const BYTE* srcBuf, SIZE_T srcPos);

    void AddBuf(const void* bytes, DWORD size, BOOL log = TRUE);
    void AddDWORD(DWORD value);
    void AddString(LPCWSTR text);

    DWORD GetBuf(void* dest, DWORD size, BOOL log = TRUE);
    DWORD GetDWORD();
    // Length in characters; with dest, copies it (terminator included) and
    // consumes it. RDP_STRING_BAD, copying nothing and leaving dest empty and
    // the read position where it was, when it does not fit cchDest or has no
    // terminator inside the payload.
    DWORD GetString(LPWSTR dest, DWORD cchDest);

    void Clear();   // client
    // Client: TRUE when the block completed a message; throws RdpException.
    BOOL LoadBlock(const BYTE* data, DWORD dwLength, WORD wSeq, WORD wFlags);

    // Header as callers inspect it: a message without a buffer reads CMD 0, RES 0xFFFF, len 0.
    WORD Cmd() const;
    WORD Res() const;
    DWORD Len() const;
    DWORD Size() const;               // len + 8, or 0 without a buffer
    const BYTE* Buffer() const;       // whole message, or NULL
    SIZE_T ReadPos() const;
    HANDLE Heap() const;

private:
    void StartMessage(WORD cmd, WORD res);
    void AbortMessage();
    void BeginMessage(const BYTE* data, DWORD dwLength);

    HANDLE m_hHeap;
    BYTE* m_pBuf;
    SIZE_T m_nPos;
};

// Block cutting used by the server's WriteBuf: number of blocks of a message
// of `size` bytes, and the header and data of block `seq`.
DWORD RdpBlockCount(DWORD size);
const BYTE* RdpBlockAt(const BYTE* msg, DWORD size, WORD seq, RDPBLOCKHEADER* header);
LPCWSTR RdpBlockFlagName(WORD flags);
