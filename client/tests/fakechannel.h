// The Remote Desktop client's entry points replaced by recording ones, for
// driving the add-in's event callbacks inside the test process.
#pragma once
#include "client.h"
#include "clienttest.h"

namespace FakeChannel {

extern std::vector<Bytes> writes;        // every successful pVirtualChannelWrite
extern std::vector<LPVOID> userData;     // their user data, not yet completed
extern UINT writeResult;                 // what pVirtualChannelWrite answers
extern bool throwOnOpen;                 // pVirtualChannelOpen raises

// Module start-up as in the library (entry, window, icon), then a connection.
void Install(const std::wstring& serverName);
void Connect(const std::wstring& serverName);
void Disconnect();
void Chunk(const BYTE* data, UINT32 length, UINT32 total, UINT32 flags);
void DeliverWrite(const Bytes& serverWrite);    // chunks of at most 1600 bytes
void CompleteAll(UINT event = CHANNEL_EVENT_WRITE_COMPLETE);
WORD LastRes();

}  // namespace FakeChannel
