#include "fakeclient.h"
#include <stddef.h>
#include <string.h>
#include "printer_double.h"
#include "raii.h"
#include "rdpcmd.h"
#include "wts_double.h"

namespace svtest {

Bytes ReplyBytes(const CRdpData& reply)
{
    return reply.Buffer() ? Bytes(reply.Buffer(), reply.Buffer() + reply.Size()) : Bytes();
}

Bytes DevMode(LPCWSTR device, WORD driverVersion, WORD extra, BYTE fill)
{
    // The spooler double's device mode, with a setting of the user's in it.
    Bytes b = PrinterDouble::MakeDevMode(device, driverVersion, extra, fill);
    DEVMODEW* dm = (DEVMODEW*)b.data();
    dm->dmFields = DM_DUPLEX;
    dm->dmDuplex = DMDUP_VERTICAL;
    return b;
}

Bytes PropertiesReply(const Bytes& devMode, const Bytes& hklm, const Bytes& hkcu)
{
    CRdpData reply(RDP_CMD_GETPROPERTIES, RDP_RES_OK);
    for (const Bytes* part : {&devMode, &hklm, &hkcu}) {
        reply.AddDWORD((DWORD)part->size());
        if (!part->empty())
            reply.AddBuf(part->data(), (DWORD)part->size(), FALSE);
    }
    return ReplyBytes(reply);
}

FakeClient::FakeClient(Handler handler) : handler_(handler)
{
    InitializeCriticalSection(&cs_);
    WtsDouble::OnWrite([this](const Bytes& block) { OnBlock(block); });
}

FakeClient::~FakeClient()
{
    WtsDouble::OnWrite(nullptr);
    DeleteCriticalSection(&cs_);
}

void FakeClient::OnBlock(const Bytes& block)
{
    RDPBLOCKHEADER h;
    if (block.size() < sizeof h)
        return;
    memcpy(&h, block.data(), sizeof h);
    if (h.wFlags & BLOCK_FLAG_FIRST)
        pending_.clear();
    pending_.insert(pending_.end(), block.begin() + sizeof h, block.end());
    if (!(h.wFlags & BLOCK_FLAG_LAST) || pending_.size() < sizeof(RDPHEADER))
        return;
    RDPHEADER header;
    memcpy(&header, pending_.data(), sizeof header);
    CRdpData request(header);
    if (pending_.size() > sizeof header)
        request.AddBuf(pending_.data() + sizeof header, (DWORD)(pending_.size() - sizeof header), FALSE);
    {
        CritSecLock lock(&cs_);
        requests_.push_back(request);
    }
    Bytes reply = handler_(request);
    if (!reply.empty())
        WtsDouble::QueueRead(reply.data(), (DWORD)reply.size());
}

std::vector<WORD> FakeClient::Commands() const
{
    std::vector<WORD> cmds;
    for (const auto& r : Requests())
        cmds.push_back(r.Cmd());
    return cmds;
}

int FakeClient::Count(WORD cmd) const
{
    int n = 0;
    for (WORD c : Commands())
        n += c == cmd;
    return n;
}

std::vector<CRdpData> FakeClient::Requests() const
{
    CritSecLock lock(&cs_);
    return requests_;
}

}  // namespace svtest
