// Seeded mutations of properties replies into the server's reader: every
// reply it accepts has a device mode and images that add up, and every reply
// it refuses reaches neither the spooler nor the registry nor the
// administrator tool.
#include <gtest/gtest.h>
#include <windows.h>
#include <stddef.h>
#include <string.h>
#include <string>
#include "apply.h"
#include "drivers.h"
#include "fakeclient.h"
#include "mutation.h"
#include "logon_double.h"
#include "printer_double.h"
#include "rdpcmd.h"
#include "regops.h"
#include "regtree.h"
#include "testutil.h"

using svtest::Bytes;

namespace {


class Mutator {
public:
    explicit Mutator(unsigned seed) : rng_(seed) {}
    DWORD Below(DWORD n) { return rng_.Below(n); }

    Bytes Image()
    {
        std::vector<ImageKey> keys(1 + Below(3));
        for (size_t k = 0; k < keys.size(); k++) {
            if (k)
                keys[k].relative = std::wstring(1 + Below(k == 2 ? 200 : 8), L'a' + (WCHAR)k);
            for (DWORD v = Below(4); v > 0; v--)
                keys[k].values.push_back({std::wstring(Below(6), L'v'), REG_BINARY, Bytes(Below(40), 0xAB)});
        }
        return BuildImage(keys);
    }
    Bytes DevMode()
    {
        return svtest::DevMode(L"Mut", (WORD)Below(0x400), (WORD)Below(300));
    }
    // A valid reply, then one structured or random change.
    Bytes Reply()
    {
        Bytes dm = Below(20) ? DevMode() : Bytes();
        Bytes reply = svtest::PropertiesReply(dm, Below(4) ? Image() : Bytes(), Below(4) ? Image() : Bytes());
        Mutate(reply, dm.size());
        DWORD len = (DWORD)reply.size() - sizeof(RDPHEADER);
        memcpy(reply.data(), &len, sizeof len);   // the header always tells the truth
        return reply;
    }

private:
    void Put(Bytes& b, size_t at, DWORD v, size_t width)
    {
        if (at + width <= b.size())
            memcpy(b.data() + at, &v, width);
    }
    DWORD Near(DWORD v) { return v + Below(9) - 4; }
    void Mutate(Bytes& r, size_t dmSize)
    {
        const size_t dmCount = sizeof(RDPHEADER), dm = dmCount + 4;
        size_t hklmCount = dm + dmSize;
        DWORD hklmSize = 0;
        if (hklmCount + 4 <= r.size())
            memcpy(&hklmSize, r.data() + hklmCount, 4);
        size_t hklm = hklmCount + 4;
        switch (Below(9)) {
        case 0: Put(r, dmCount, Near((DWORD)dmSize), 4); break;
        case 1: Put(r, dm + offsetof(DEVMODEW, dmSize), Near(sizeof(DEVMODEW)) - Below(2) * 160, 2); break;
        case 2: Put(r, dm + offsetof(DEVMODEW, dmDriverExtra), Near((DWORD)dmSize - sizeof(DEVMODEW)), 2); break;
        case 3: Put(r, hklmCount, Below(2) ? Near(hklmSize) : 0xFFFFFFFFu - Below(16), 4); break;
        case 4:   // a field of the HKLM image: header, record counts, sizes, offsets
            if (hklmSize >= 16)
                Put(r, hklm + 4 * Below(hklmSize / 4 < 12 ? hklmSize / 4 : 12), Below(2) ? Below(1 << 16) : Near(hklmSize), 4);
            break;
        case 5: r.resize(r.size() - Below((DWORD)r.size() - sizeof(RDPHEADER) + 1)); break;
        case 6: r.insert(r.end(), 1 + Below(8), (BYTE)Below(256)); break;
        case 7:
            for (DWORD n = 1 + Below(4); n > 0; n--)
                r[sizeof(RDPHEADER) + Below((DWORD)r.size() - sizeof(RDPHEADER))] ^= (BYTE)(1 + Below(255));
            break;
        default: break;   // unchanged: the reader must accept it
        }
    }
    mutation::Rng rng_;
};

// The envelope as the protocol describes it, read independently of the
// server's reader; images are judged by the image validator.
bool Acceptable(const Bytes& r, LPCWSTR hklmPath, LPCWSTR hkcuPath)
{
    size_t pos = sizeof(RDPHEADER);
    auto sized = [&](size_t* at, DWORD* n) {
        if (r.size() - pos < 4)
            return false;
        memcpy(n, r.data() + pos, 4);
        if (*n > r.size() - pos - 4)
            return false;
        *at = pos + 4;
        pos += 4 + (size_t)*n;
        return true;
    };
    size_t at;
    DWORD n;
    if (!sized(&at, &n))
        return false;
    if (n == 0)
        return true;
    if (n < offsetof(DEVMODEW, dmDriverExtra) + 2)
        return false;
    WORD size, extra;
    memcpy(&size, r.data() + at + offsetof(DEVMODEW, dmSize), 2);
    memcpy(&extra, r.data() + at + offsetof(DEVMODEW, dmDriverExtra), 2);
    if (size < offsetof(DEVMODEW, dmDriverVersion) + 2 || (DWORD)size + extra != n)
        return false;
    for (LPCWSTR path : {hklmPath, hkcuPath}) {
        if (!sized(&at, &n))
            return false;
        if (n && ValidateRegImage(path, r.data() + at, n) != 0)
            return false;
    }
    return pos == r.size();
}

TEST(PropertiesReplyMutation, ReaderAgreesWithTheProtocolAndRefusedRepliesTouchNothing)
{
    // No log: the reader's few lines per case would cost more than the case.
    svtest::TestEvents events;
    svtest::TempFolder folder(L"replymut");
    ReadTargetDriver(folder.File(L"none.ini").c_str());
    PrinterDouble::Reset();
    std::wstring name = L"QvMut" + std::to_wstring(GetCurrentProcessId()) + L" (redirected 1)";
    PrinterDouble::Add(name.c_str(), L"Halvren Office Dravo", PRINTER_ATTRIBUTE_TS,
                       PrinterDouble::MakeDevMode(name.c_str(), 0x400));
    PRINTERENTRY entry = {&name[0], 5};
    std::wstring hklm = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\" + name + L"\\PrinterDriverData";
    std::wstring hkcu = L"Software\\Halvren\\DravoK\\" + name;
    SetLogonDoubleAccount(nullptr, nullptr);   // no elevated run may even be tried

    const DWORD kCases = mutation::CaseCount(20000);
    const unsigned seed = mutation::Seed(20261207);
    Mutator m(seed);
    DWORD accepted = 0, refused = 0, sampled = 0;
    for (DWORD i = 0; i < kCases; i++) {
        Bytes bytes = m.Reply();
        RDPHEADER h;
        memcpy(&h, bytes.data(), sizeof h);
        CRdpData reply(h);
        if (bytes.size() > sizeof h)
            reply.AddBuf(bytes.data() + sizeof h, (DWORD)(bytes.size() - sizeof h), FALSE);
        PROPREPLY parts;
        bool ok = ParsePropertiesReply(reply, &entry, &parts) == nullptr;
        ASSERT_EQ(Acceptable(bytes, hklm.c_str(), hkcu.c_str()), ok) << "seed " << seed << ", case " << i;
        ok ? accepted++ : refused++;
        if (!ok && i % 997 == 0) {
            // Whole way through: nothing reaches the spooler, the registry or the tool.
            sampled++;
            entry.nAttempts = 5;
            LONG runs = GetLogonDoubleTrace()->calls;
            SetProperties(&entry, reply);
            Bytes set;
            ASSERT_FALSE(PrinterDouble::GetLevel9(name.c_str(), &set)) << "case " << i;
            ASSERT_FALSE(KeyExists(HKEY_CURRENT_USER, hkcu)) << "case " << i;
            ASSERT_EQ(runs, GetLogonDoubleTrace()->calls) << "case " << i;
            ASSERT_EQ(4, entry.nAttempts) << "case " << i;
        }
        if (i % 5000 == 0) {
            ASSERT_TRUE(mutation::AllHeapsValid()) << "seed " << seed << ", case " << i;
        }
    }
    printf("%lu replies: %lu accepted, %lu refused, %lu refused ones applied whole way\n", (unsigned long)kCases,
           (unsigned long)accepted, (unsigned long)refused, (unsigned long)sampled);
    EXPECT_GT(accepted, kCases / 10);
    EXPECT_GT(refused, kCases / 2);
}

}  // namespace
