// Seeded mutations of what a hostile terminal server sends the add-in:
// properties requests with mutated printer names and key paths, and
// downloads with mutated headers, through the add-in's own channel callbacks
// and dispatcher. Oracles: every registry key opened lies inside the keys of
// a printer the spooler lists (the opens are recorded below the add-in's
// code), only listed printers are opened, a refused request gets exactly the
// missing printer's reply, a planted secret never reaches a reply, and no
// download changes the add-in's folder. Run with Wine's heap checking on.
#include <gtest/gtest.h>
#include <string.h>
#include <wchar.h>
#include "fakechannel.h"
#include "log.h"
#include "mutation.h"
#include "printer_double.h"
#include "regopen_double.h"
#include "settings.h"

namespace {

using mutation::Rng;

const std::wstring kPrinters = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\";
const std::wstring kDriverData = L"\\PrinterDriverData";
const std::wstring kVendor = L"Software\\Halvren\\";

bool SameText(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

bool Below(const std::wstring& path, const std::wstring& key)
{
    return SameText(path, key) ||
           (path.size() > key.size() && path[key.size()] == L'\\' && SameText(path.substr(0, key.size()), key));
}

struct Pc {
    std::wstring tag = UniqueName(L"qvmut");
    std::vector<std::wstring> listed = { tag + L" Office", tag + L" Lab,2", L"\\\\srv\\" + tag + L" Shared" };
    std::wstring ghost = tag + L" Ghost";   // keys, but no printer
    std::wstring pdl = tag + L"PDL";
    std::wstring marker = L"QV-SECRET-" + tag;
    ScratchKey spooler{ HKEY_CURRENT_USER, L"mutation-printers" };

    Pc()
    {
        BYTE devmode[300];
        for (size_t i = 0; i < sizeof devmode; i++)
            devmode[i] = (BYTE)i;
        SetEnvironmentVariableW(L"QV_SIM_PRINTERS", spooler.path().c_str());
        for (const std::wstring& p : listed) {
            spooler.SetValue(L"", p, REG_BINARY, devmode, sizeof devmode);
            SetValue(HKEY_LOCAL_MACHINE, kPrinters + p + kDriverData + L"\\Sub", L"v", REG_DWORD, DwordData(1));
            SetValue(HKEY_CURRENT_USER, kVendor + pdl + L"\\" + p, L"v", REG_DWORD, DwordData(2));
        }
        for (HKEY root : { HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER }) {
            SetValue(root, kPrinters + ghost + kDriverData, L"s", REG_SZ, SzData(marker));
            SetValue(root, kVendor + pdl + L"\\" + ghost, L"s", REG_SZ, SzData(marker));
            SetValue(root, L"Software\\" + pdl, L"s", REG_SZ, SzData(marker));
        }
    }
    ~Pc()
    {
        for (HKEY root : { HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER }) {
            for (const std::wstring& p : listed)
                RegDeleteTreeW(root, (kPrinters + p).c_str());
            RegDeleteTreeW(root, (kPrinters + ghost).c_str());
            RegDeleteTreeW(root, (kVendor + pdl).c_str());
            RegDeleteTreeW(root, (L"Software\\" + pdl).c_str());
            RegDeleteKeyW(root, L"Software\\Halvren");
        }
    }
    bool IsListed(const std::wstring& name) const
    {
        for (const std::wstring& p : listed)
            if (SameText(p, name))
                return true;
        return false;
    }
    // Inside the keys of a listed printer: its driver data, or its key
    // under one vendor subkey.
    bool MayOpen(const std::wstring& open) const
    {
        for (const std::wstring& p : listed) {
            if (Below(open, L"HKLM\\" + kPrinters + p + kDriverData))
                return true;
            std::wstring head = L"HKCU\\" + kVendor;
            if (open.size() > head.size() && SameText(open.substr(0, head.size()), head)) {
                size_t slash = open.find(L'\\', head.size());
                if (slash != std::wstring::npos && slash > head.size() && Below(open.substr(slash + 1), p))
                    return true;
            }
        }
        return false;
    }
};

class Mutator {
public:
    Mutator(Rng& r, const Pc& pc) : r_(r), pc_(pc) {}

    std::wstring Name()
    {
        switch (r_.Below(6)) {
        case 0: return pc_.ghost;
        case 1: return L"\\\\evil\\" + pc_.listed[0];
        case 2: return pc_.listed[0] + L",LocalOnly";
        default: return pc_.listed[r_.Below((DWORD)pc_.listed.size())];
        }
    }

    void Mutate(std::wstring& s)
    {
        static const wchar_t kChars[] = L"\\.,: aA/\x3042";
        size_t at = s.empty() ? 0 : r_.Below((DWORD)s.size());
        switch (r_.Below(9)) {
        case 0: if (!s.empty()) s[at] = kChars[r_.Below(ARRAYSIZE(kChars) - 1)]; break;
        case 1: s.insert(at, L"\\..\\"); break;
        case 2: s += L"\\"; break;
        case 3: s.insert(at, L"\\"); break;
        case 4: s.resize(at); break;
        case 5: Replace(s, pc_.listed[r_.Below((DWORD)pc_.listed.size())], Name()); break;
        case 6: CharUpperBuffW(&s[0], (DWORD)s.size()); break;
        case 7: s = r_.Chance(50) ? L"Software\\" + pc_.pdl : kVendor + pc_.pdl + L"\\" + pc_.ghost; break;
        default: s.insert(at, L"\\x"); break;
        }
    }

private:
    static void Replace(std::wstring& s, const std::wstring& what, const std::wstring& with)
    {
        size_t at = s.find(what);
        if (at != std::wstring::npos)
            s.replace(at, what.size(), with);
    }
    Rng& r_;
    const Pc& pc_;
};

bool Contains(const Bytes& b, const std::wstring& text)
{
    const BYTE* t = (const BYTE*)text.c_str();
    return std::search(b.begin(), b.end(), t, t + text.size() * 2) != b.end();
}

std::vector<std::wstring> ListFolder(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((folder + L"*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return names;
    do
        names.push_back(fd.cFileName);
    while (FindNextFileW(h, &fd));
    FindClose(h);
    return names;
}

class TrustMutation : public testing::Test {
protected:
    void SetUp() override
    {
        FakeChannel::Install(UniqueName(L"trustmut"));
        // No log, no icon: they would dominate the run. The update right
        // stays, so that downloads reach every check.
        LogEnd();
        ExitInstance();
    }
    void TearDown() override
    {
        EndUpdateConnection();
        FakeChannel::CompleteAll();
        FakeChannel::Disconnect();
    }
    // The one reply to a request, or an empty message when there was not exactly one.
    Bytes Ask(const Bytes& message)
    {
        FakeChannel::writes.clear();
        for (const Bytes& w : CutBlocks(message))
            FakeChannel::DeliverWrite(w);
        FakeChannel::CompleteAll();
        return FakeChannel::writes.size() == 1 ? FakeChannel::writes[0] : Bytes();
    }
};

TEST_F(TrustMutation, ServerRequestsReachNothingButTheListedPrintersAndLeaveTheAddinAlone)
{
    const unsigned seed = mutation::Seed(0x51565452);
    const DWORD cases = mutation::CaseCount(1000);
    mutation::BeginRun("trust", seed);
    Rng r(seed);
    Pc pc;
    Mutator m(r, pc);
    WCHAR folder[MAX_PATH];
    ASSERT_NE(0u, GetModuleFolder(folder));
    std::vector<std::wstring> files = ListFolder(folder);
    WCHAR own[MAX_PATH];
    GetOwnFileName(own, ARRAYSIZE(own));
    const Bytes missing = MakeMessage(4, Payload().Dword(0).Dword(0).bytes(), 1);
    DWORD failures = 0, accepted = 0;
    bool asked = false;   // the connection's version query (its answer copies the whole program: asked seldom)
    for (DWORD c = 0; c < cases && failures < 5; c++) {
        mutation::NoteCase(c);
        if (r.Chance(70)) {
            std::wstring printer = m.Name();
            std::wstring hklm = kPrinters + printer + kDriverData, hkcu = kVendor + pc.pdl + L"\\" + printer;
            for (DWORD n = r.Below(4); n; n--)
                m.Mutate(r.Chance(34) ? printer : r.Chance(50) ? hklm : hkcu);
            LONG opened = SimPrinterOpenAttempts(nullptr, 0);
            TakeRegOpens();
            Bytes reply = Ask(MakeMessage(4, Payload().Str(printer).Str(hklm).Str(hkcu).bytes()));
            WCHAR last[1025];
            bool printerOpened = SimPrinterOpenAttempts(last, ARRAYSIZE(last)) != opened;
            std::vector<std::wstring> opens = TakeRegOpens();
            bool stray = printerOpened && !pc.IsListed(last);
            for (const std::wstring& o : opens)
                stray |= !pc.MayOpen(o);
            bool refused = reply == missing;
            accepted += !refused;
            if (stray || reply.empty() || Contains(reply, pc.marker) || (refused && (printerOpened || !opens.empty()))) {
                ADD_FAILURE() << "case " << c << " (seed " << seed << "): stray open or reply for \""
                              << std::string(printer.begin(), printer.end()) << "\"";
                failures++;
            }
        } else {
            if (r.Chance(5)) {
                EndUpdateConnection();
                asked = false;
            }
            if (!asked && r.Chance(30)) {
                Ask(MakeMessage(2, {}));
                asked = true;
            }
            static const DWORD totals[] = { 0, 1, 64, 4096, 16u << 20, (16u << 20) + 1, 0xFFFFFFFF };
            DWORD total = r.Chance(80) ? totals[r.Below(ARRAYSIZE(totals))] : r.Next();
            Bytes piece(r.Below(2000), (BYTE)r.Next());
            if (piece.size() >= 2 && r.Chance(50))
                piece[0] = 'M', piece[1] = 'Z';
            std::wstring name = r.Chance(80) ? std::wstring(own) : L"..\\" + std::wstring(own);
            DWORD told = r.Chance(80) ? (DWORD)piece.size() : r.Next();
            for (DWORD n = 1 + r.Below(3); n; n--) {
                Payload p;
                p.Dword(total);
                if (total)
                    p.Str(name);
                p.Dword(told).Raw(piece.data(), piece.size());
                ReplyView v(Ask(MakeMessage(3, p.bytes())));
                bool firstRefused = total && (!asked || total > (16u << 20)) && v.res != 4;
                if (v.bytes.empty() || v.cmd != 3 || v.res > 4 || firstRefused) {
                    ADD_FAILURE() << "case " << c << " (seed " << seed << "): download reply " << v.res;
                    failures++;
                }
                total = 0;
            }
            ResetDownload();
            if (ListFolder(folder) != files) {
                ADD_FAILURE() << "case " << c << " (seed " << seed << "): the add-in's folder changed";
                failures++;
            }
        }
    }
    EXPECT_GT(accepted, 0u) << "no honest request survived: the run tests nothing";
    EXPECT_TRUE(mutation::AllHeapsValid());
}

}  // namespace
