// One channel message in a heap of its own, and the block framing between the
// server and the client.
#include "rdpdata.h"
#include "rdpcmd.h"
#include "log.h"
#include <shlwapi.h>
#include <string.h>

namespace {

// LoadBlock's own state on the receive message: the size the first block
// announced and the last accepted sequence number.
DWORD s_dwExpected = 0;
int s_nLastSeq = -1;

const DWORD kHeaderSize = sizeof(RDPHEADER);
const int kLogTextMax = 48;

// Writes the exit marker of an operation whose entry line carries data, also
// when the operation leaves by a raise.
class ExitMarker {
public:
    ExitMarker(LPCWSTR func, WORD level) : func_(func), level_(level) {}
    ~ExitMarker() { LogPrintf(LOG_TAG_EXIT | level_, func_, L""); }
    ExitMarker(const ExitMarker&) = delete;
    ExitMarker& operator=(const ExitMarker&) = delete;
private:
    LPCWSTR func_;
    WORD level_;
};

[[noreturn]] void Raise(RDPRESULT res)
{
    throw RdpException{res};
}

// The heap is created without HEAP_GENERATE_EXCEPTIONS: a structured
// exception from HeapAlloc cannot be caught by the C++ handlers that turn
// failures into error replies, whereas a null block can be raised as
// RDP_RES_EXCEPTION like any other failure.
HANDLE CreateMessageHeap(LPCWSTR func)
{
    HANDLE heap = HeapCreate(0, 0, 0);
    LogPrintf(32, func, L"HeapCreate,%p,%d bytes", heap, 0);
    if (!heap)
        Raise(RDP_RES_EXCEPTION);
    return heap;
}

// Grows, shrinks or allocates `block` to exactly `size` bytes; the old block
// stays valid when this raises.
BYTE* ResizeBlock(LPCWSTR func, HANDLE heap, BYTE* block, ULONGLONG size)
{
    if (size > MAXDWORD)
        Raise(RDP_RES_EXCEPTION);
    void* p = LoggedHeapAlloc(func, heap, block, (SIZE_T)size);
    if (!p)
        Raise(RDP_RES_EXCEPTION);
    return static_cast<BYTE*>(p);
}

void WriteHeader(BYTE* buf, DWORD len, WORD cmd, WORD res)
{
    RDPHEADER h = {len, cmd, res};
    memcpy(buf, &h, sizeof h);
}

RDPHEADER ReadHeader(const BYTE* buf)
{
    RDPHEADER h;
    memcpy(&h, buf, sizeof h);
    return h;
}

// Text for the log: long paths and names are shortened the way the shell does.
void CompactForLog(LPWSTR out, size_t cchOut, LPCWSTR text)
{
    if (!PathCompactPathExW(out, text, kLogTextMax + 1, 0))
        lstrcpynW(out, text, (int)cchOut);
}

}  // namespace

CRdpData::CRdpData() : m_hHeap(nullptr), m_pBuf(nullptr), m_nPos(0)
{
    LogScope scope(L"CRdpData");
    LogPrintf(32, L"CRdpData", L",(default constructor)");
    m_hHeap = CreateMessageHeap(L"CRdpData");
}

CRdpData::CRdpData(WORD cmd, WORD res) : m_hHeap(nullptr), m_pBuf(nullptr), m_nPos(0)
{
    LogScope scope(L"CRdpData");
    LogPrintf(32, L"CRdpData", L",construct by CMD/RES,CMD(%d) RES(%X)", cmd, res);
    StartMessage(cmd, res);
}

CRdpData::CRdpData(const RDPHEADER& header) : m_hHeap(nullptr), m_pBuf(nullptr), m_nPos(0)
{
    LogScope scope(L"CRdpData");
    LogPrintf(32, L"CRdpData", L",construct by RDPHEADER,len(%d) CMD(%d) RES(%X)",
              header.len, header.CMD, header.RES);
    StartMessage(header.CMD, header.RES);
}

CRdpData::CRdpData(const CRdpData& src) : m_hHeap(nullptr), m_pBuf(nullptr), m_nPos(0)
{
    LogScope scope(L"CRdpData");
    LogPrintf(32, L"CRdpData", L",(copy constructor),%p", &src);
    m_hHeap = CreateMessageHeap(L"CRdpData");
    try {
        CopyObject(src.m_pBuf, src.m_nPos);
    } catch (...) {
        LoggedHeapDestroy(L"CRdpData", m_hHeap);
        throw;
    }
}

// The header of a fresh message: heap plus an 8-byte block. A constructor
// that raises has no destructor run, so the heap is released here.
void CRdpData::StartMessage(WORD cmd, WORD res)
{
    m_hHeap = CreateMessageHeap(L"CRdpData");
    try {
        m_pBuf = ResizeBlock(L"CRdpData", m_hHeap, nullptr, kHeaderSize);
    } catch (...) {
        LoggedHeapDestroy(L"CRdpData", m_hHeap);
        throw;
    }
    WriteHeader(m_pBuf, 0, cmd, res);
}

CRdpData::~CRdpData()
{
    LogScope scope(L"~CRdpData");
    if (!m_hHeap) {
        LogPrintf(LOG_E, L"~CRdpData", L",PROGRAM BUG!!,NULL HEAP");
        return;
    }
    if (m_pBuf)
        LoggedHeapFree(L"~CRdpData", m_hHeap, m_pBuf);
    LoggedHeapDestroy(L"~CRdpData", m_hHeap);
}

CRdpData& CRdpData::operator=(const CRdpData& src)
{
    LogScope scope(L"operator=");
    LogPrintf(32, L"operator=", L"%p,(operator=),%p", this, &src);
    CopyObject(src.m_pBuf, src.m_nPos);
    LogPrintf(32, L"operator=", L"%p", this);
    return *this;
}

void CRdpData::CopyObject(const BYTE* srcBuf, SIZE_T srcPos)
{
    LogScope scope(L"CopyObject");
    LogPrintf(32, L"CopyObject", L"%p,CopyObject,%p", this, srcBuf);
    if (srcBuf && srcBuf != m_pBuf) {
        ULONGLONG size = (ULONGLONG)ReadHeader(srcBuf).len + kHeaderSize;
        m_pBuf = ResizeBlock(L"CopyObject", m_hHeap, m_pBuf, size);
        memcpy(m_pBuf, srcBuf, (SIZE_T)size);
    } else if (!srcBuf && m_pBuf) {
        if (!LoggedHeapFree(L"CopyObject", m_hHeap, m_pBuf))
            m_pBuf = nullptr;
    }
    m_nPos = srcPos;
    LogPrintf(32, L"CopyObject", L"%p", this);
}

void CRdpData::AddBuf(const void* bytes, DWORD size, BOOL log)
{
    LogScope scope(L"AddBuf");
    if (log)
        LogPrintf(32, L"AddBuf", L",buf %p,size %d", bytes, size);
    if (!bytes || size == 0)
        return;
    if (!m_pBuf) {
        // Only a default-constructed message that was never assigned gets
        // here. It reads as CMD 0 / RES 0xFFFF, so it is given that header
        // rather than losing the item.
        LogPrintf(LOG_E, L"AddBuf", L",PROGRAM BUG!!,NO BUFFER");
        m_pBuf = ResizeBlock(L"AddBuf", m_hHeap, nullptr, kHeaderSize);
        WriteHeader(m_pBuf, 0, 0, RDP_RES_NONE);
    }
    RDPHEADER h = ReadHeader(m_pBuf);
    ULONGLONG newSize = (ULONGLONG)h.len + size + kHeaderSize;
    m_pBuf = ResizeBlock(L"AddBuf", m_hHeap, m_pBuf, newSize);
    memcpy(m_pBuf + kHeaderSize + h.len, bytes, size);
    WriteHeader(m_pBuf, h.len + size, h.CMD, h.RES);
}

void CRdpData::AddDWORD(DWORD value)
{
    LogScope scope(L"AddDWORD");
    LogPrintf(32, L"AddDWORD", L"dwVal %d", value);
    AddBuf(&value, sizeof value, FALSE);
}

void CRdpData::AddString(LPCWSTR text)
{
    LogScope scope(L"AddString");
    if (!text) {
        LogPrintf(32, L"AddString", L",(null)");
        return;
    }
    WCHAR shown[MAX_PATH];
    CompactForLog(shown, ARRAYSIZE(shown), text);
    LogPrintf(32, L"AddString", L",%s", shown);
    AddBuf(text, (DWORD)((wcslen(text) + 1) * sizeof(WCHAR)), FALSE);
}

DWORD CRdpData::GetBuf(void* dest, DWORD size, BOOL log)
{
    LogScope scope(L"GetBuf");
    if (log)
        LogPrintf(32, L"GetBuf", L",buf %p,size %d", dest, size);
    if (!dest || !m_pBuf) {
        LogPrintf(LOG_E, L"GetBuf", L",PROGRAM BUG!!,NO BUFFER");
        return 0;
    }
    DWORD len = Len();
    ULONGLONG end = (ULONGLONG)m_nPos + size;
    if (end > len) {
        LogPrintf(LOG_E, L"GetBuf", L",PROGRAM BUG!!,BUFFER OVERRUN,%d vs %d", (int)end, len);
        return 0;
    }
    memcpy(dest, m_pBuf + kHeaderSize + m_nPos, size);
    m_nPos += size;
    return size;
}

DWORD CRdpData::GetDWORD()
{
    LogScope scope(L"GetDWORD");
    DWORD value = 0;
    if (GetBuf(&value, sizeof value, FALSE) != sizeof value)
        value = 0;
    LogPrintf(32, L"GetDWORD", L"dwVal %d", value);
    return value;
}

DWORD CRdpData::GetString(LPWSTR dest, DWORD cchDest)
{
    LogScope scope(L"GetString");
    if (dest && cchDest)
        dest[0] = 0;
    if (!m_pBuf) {
        LogPrintf(LOG_E, L"GetString", L",PROGRAM BUG!!,NO BUFFER");
        return RDP_STRING_BAD;
    }
    // The string comes off the wire: the terminator must lie inside the
    // payload, and the copy must fit the caller's buffer.
    DWORD len = Len();
    SIZE_T units = m_nPos < len ? (len - m_nPos) / sizeof(WCHAR) : 0;
    const BYTE* p = m_pBuf + kHeaderSize + m_nPos;
    SIZE_T n = 0;
    while (n < units && (p[2 * n] | p[2 * n + 1]) != 0)
        n++;
    if (n == units) {
        LogPrintf(LOG_E, L"GetString", L",PROGRAM BUG!!,BUFFER OVERRUN,%d vs %d",
                  (int)(m_nPos + (units + 1) * sizeof(WCHAR)), len);
        return RDP_STRING_BAD;
    }
    if (!dest)
        return (DWORD)n;
    if (n + 1 > cchDest) {
        LogPrintf(LOG_E, L"GetString", L",PROGRAM BUG!!,BUFFER OVERRUN,%d vs %d", (int)(n + 1), cchDest);
        return RDP_STRING_BAD;
    }
    GetBuf(dest, (DWORD)((n + 1) * sizeof(WCHAR)), FALSE);
    WCHAR shown[MAX_PATH];
    CompactForLog(shown, ARRAYSIZE(shown), dest);
    LogPrintf(32, L"GetString", L",%s", shown);
    return (DWORD)n;
}

void CRdpData::Clear()
{
    LogScope scope(L"Clear", 32);
    if (m_pBuf && !LoggedHeapFree(L"Clear", m_hHeap, m_pBuf))
        m_pBuf = nullptr;
    m_nPos = 0;
}

// Drops an unfinished message when the first block of the next one arrives.
void CRdpData::AbortMessage()
{
    LogPrintf(LOG_W, L"LoadBlock", L",LAST RDP ABORTED,%p", m_hHeap);
    if (!LoggedHeapFree(L"LoadBlock", m_hHeap, m_pBuf))
        m_pBuf = nullptr;
    m_nPos = 0;
}

// The first block carries the message's own len, which is untrusted: it must
// be there at all, and it must not ask for more than any request can hold.
void CRdpData::BeginMessage(const BYTE* data, DWORD dwLength)
{
    s_nLastSeq = -1;
    if (dwLength < sizeof(DWORD)) {
        LogPrintf(LOG_E, L"LoadBlock", L",RDP INCOMPLETE,recv(%d)/must(%d)", dwLength, (int)sizeof(DWORD));
        Raise(RDP_RES_RDP_INCOMPLETE);
    }
    DWORD len;
    memcpy(&len, data, sizeof len);
    ULONGLONG expected = (ULONGLONG)len + kHeaderSize;
    if (expected > RDP_REQUEST_MAX) {
        LogPrintf(LOG_E, L"LoadBlock", L",RDP OVERRUN !!,len(%u)/max(%d)", len, (int)RDP_REQUEST_MAX);
        Raise(RDP_RES_RDP_OVERRUN);
    }
    s_dwExpected = (DWORD)expected;
    m_pBuf = ResizeBlock(L"LoadBlock", m_hHeap, nullptr, s_dwExpected);
    m_nPos = 0;
}

BOOL CRdpData::LoadBlock(const BYTE* data, DWORD dwLength, WORD wSeq, WORD wFlags)
{
    LogPrintf(LOG_TAG_ENTRY | 32, L"LoadBlock", L"pData %p,dwLength %d,wSeq %d,%s",
              data, dwLength, wSeq, RdpBlockFlagName(wFlags));
    ExitMarker exitMarker(L"LoadBlock", 32);
    if (!data && dwLength) {
        LogPrintf(LOG_E, L"LoadBlock", L",PROGRAM BUG!!,NO DATA");
        Raise(RDP_RES_EXCEPTION);
    }
    if (dwLength > RDP_BLOCK_DATA_MAX) {
        LogPrintf(LOG_E, L"LoadBlock", L",BLOCKSIZE ERROR,total(%d)/must(%d)", dwLength, RDP_BLOCK_DATA_MAX);
        Raise(RDP_RES_BLOCKSIZE_ERROR);
    }
    if (wFlags & BLOCK_FLAG_FIRST) {
        if (m_pBuf)
            AbortMessage();
        BeginMessage(data, dwLength);
    } else if (!m_pBuf || Size() != s_dwExpected) {
        // The rest of a message that was already answered with an error (or
        // whose first block never came): a second reply to the same request
        // would be taken by the server as the reply to its next one. A buffer
        // that no first block sized is not ours to fill either.
        LogPrintf(LOG_W, L"LoadBlock", L",NO RDP,SKIP,seq %d", wSeq);
        return FALSE;
    }
    if (wSeq != s_nLastSeq + 1) {
        LogPrintf(LOG_E, L"LoadBlock", L",WHAT HAPPENED !?,SEQ(%d)/must(%d)", wSeq, s_nLastSeq + 1);
        s_nLastSeq = wSeq;
        Raise(RDP_RES_SEQUENCE_ERROR);
    }
    s_nLastSeq = wSeq;
    if ((ULONGLONG)m_nPos + dwLength > s_dwExpected) {
        LogPrintf(LOG_E, L"LoadBlock", L",RDP OVERRUN !!,recv(%d)/must(%d)", (int)(m_nPos + dwLength), s_dwExpected);
        Raise(RDP_RES_RDP_OVERRUN);
    }
    memcpy(m_pBuf + m_nPos, data, dwLength);
    m_nPos += dwLength;
    LogPrintf(32, L"LoadBlock", L",RDP %d / %d", (int)m_nPos, s_dwExpected);
    if (!(wFlags & BLOCK_FLAG_LAST))
        return FALSE;
    if (m_nPos != s_dwExpected) {
        LogPrintf(LOG_E, L"LoadBlock", L",RDP INCOMPLETE,recv(%d)/must(%d)", (int)m_nPos, s_dwExpected);
        Raise(RDP_RES_RDP_INCOMPLETE);
    }
    LogPrintf(64, L"LoadBlock", L",RDP COMPLETE");
    m_nPos = 0;
    s_nLastSeq = -1;
    return TRUE;
}

WORD CRdpData::Cmd() const
{
    return m_pBuf ? ReadHeader(m_pBuf).CMD : 0;
}

WORD CRdpData::Res() const
{
    return m_pBuf ? ReadHeader(m_pBuf).RES : RDP_RES_NONE;
}

DWORD CRdpData::Len() const
{
    return m_pBuf ? ReadHeader(m_pBuf).len : 0;
}

DWORD CRdpData::Size() const
{
    return m_pBuf ? Len() + kHeaderSize : 0;
}

const BYTE* CRdpData::Buffer() const
{
    return m_pBuf;
}

SIZE_T CRdpData::ReadPos() const
{
    return m_nPos;
}

HANDLE CRdpData::Heap() const
{
    return m_hHeap;
}

DWORD RdpBlockCount(DWORD size)
{
    return size / RDP_BLOCK_DATA_MAX + (size % RDP_BLOCK_DATA_MAX ? 1 : 0);
}

const BYTE* RdpBlockAt(const BYTE* msg, DWORD size, WORD seq, RDPBLOCKHEADER* header)
{
    *header = RDPBLOCKHEADER{};
    if (!msg || seq >= RdpBlockCount(size))
        return nullptr;
    DWORD done = (DWORD)seq * RDP_BLOCK_DATA_MAX;
    DWORD slice = size - done < RDP_BLOCK_DATA_MAX ? size - done : RDP_BLOCK_DATA_MAX;
    header->dwLength = slice;
    header->wSeq = seq;
    header->wFlags = (seq == 0 ? BLOCK_FLAG_FIRST : 0) | (done + slice == size ? BLOCK_FLAG_LAST : 0);
    return msg + done;
}

LPCWSTR RdpBlockFlagName(WORD flags)
{
    static const LPCWSTR names[] = {L"BLOCK_FLAG_MIDDLE", L"BLOCK_FLAG_FIRST", L"BLOCK_FLAG_LAST", L"BLOCK_FLAG_ONLY"};
    return flags < ARRAYSIZE(names) ? names[flags] : L"BLOCK_FLAG !! UNKNOWN !!";
}
