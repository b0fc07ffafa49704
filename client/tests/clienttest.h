// Helpers shared by the client module's tests: messages and blocks as the
// server builds them, scratch registry keys and folders private to one test
// process, and the paths of the simulation build.
#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "regtree.h"
#include "scratch.h"

typedef std::vector<BYTE> Bytes;

// The add-in's file in this test build's bitness, and the other bitness's.
#ifdef _WIN64
#define CLIENT_LIB       L"Quorvane_CL64.dll"
#define CLIENT_BAK       L"Quorvane_CL64.bak"
#define CLIENT_OTHER_LIB L"Quorvane_CL32.dll"
#else
#define CLIENT_LIB       L"Quorvane_CL32.dll"
#define CLIENT_BAK       L"Quorvane_CL32.bak"
#define CLIENT_OTHER_LIB L"Quorvane_CL64.dll"
#endif

// Payload items in wire order.
class Payload {
public:
    Payload& Dword(DWORD v);
    Payload& Str(const std::wstring& s);   // with its terminator
    Payload& Raw(const void* p, size_t n);
    Payload& Buf(const Bytes& b);          // DWORD size, then the bytes
    const Bytes& bytes() const { return b_; }
private:
    Bytes b_;
};

Bytes MakeMessage(WORD cmd, const Bytes& payload, WORD res = 0xFFFF);
// The server's blocks (header + at most 6392 data bytes each), one per channel write.
std::vector<Bytes> CutBlocks(const Bytes& message);
Bytes MakeBlock(const Bytes& data, WORD seq, WORD flags, DWORD dwLength);

struct ReplyView {
    DWORD len;
    WORD cmd;
    WORD res;
    size_t pos;        // read position in the payload
    Bytes bytes;       // the whole message
    explicit ReplyView(const Bytes& message);
    DWORD Dword();
    std::wstring Str();
    Bytes Raw(size_t n);
    size_t Left() const { return bytes.size() - 8 - pos; }
};

// Scratch keys and folders come from the shared test support.
using ScratchDir = ScratchFolder;

Bytes ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const Bytes& bytes);
std::wstring SimFolder();            // folder of the simulation library and the host double
std::wstring UniqueName(const std::wstring& tag);   // tag plus this process's id
std::string ReadLogText(const std::wstring& serverName);   // the client log of one connection
std::wstring UserName();
