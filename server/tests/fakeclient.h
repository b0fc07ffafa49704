// The client module's end of the channel, scripted by a test: each request
// the server writes is reassembled from its blocks and answered with the
// bytes the test's handler returns (none: no answer, the read times out).
#pragma once
#include <windows.h>
#include <functional>
#include <vector>
#include "rdpdata.h"

namespace svtest {

using Bytes = std::vector<BYTE>;

Bytes ReplyBytes(const CRdpData& reply);

// A device mode of `extra` private bytes and a driver version.
Bytes DevMode(LPCWSTR device, WORD driverVersion, WORD extra = 16, BYTE fill = 0x5A);
// The GETPROPERTIES reply: RES 0 with the three sized parts.
Bytes PropertiesReply(const Bytes& devMode, const Bytes& hklm, const Bytes& hkcu);

class FakeClient {
public:
    using Handler = std::function<Bytes(CRdpData& request)>;
    explicit FakeClient(Handler handler);
    ~FakeClient();
    // Commands of the requests seen so far, in order.
    std::vector<WORD> Commands() const;
    int Count(WORD cmd) const;
    std::vector<CRdpData> Requests() const;

private:
    void OnBlock(const Bytes& block);
    Handler handler_;
    Bytes pending_;
    std::vector<CRdpData> requests_;
    mutable CRITICAL_SECTION cs_;
};

}  // namespace svtest
