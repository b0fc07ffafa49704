// Registry tree images byte for byte, the two-pass size protocol, and the
// reply to a properties request with the local printer double.
#include <gtest/gtest.h>
#include "client.h"
#include "clienttest.h"
#include "printer_double.h"
#include <string.h>

namespace {

// Expected images are written out field by field, independently of the writer.
class Image {
public:
    Image& U32(DWORD v) { return Raw(&v, 4); }
    Image& Name(const wchar_t* s) { return Raw(s, (wcslen(s) + 1) * 2); }
    Image& Raw(const void* p, size_t n) { b.insert(b.end(), (const BYTE*)p, (const BYTE*)p + n); return *this; }
    Bytes b;
};

Bytes Export(HKEY root, const std::wstring& path, DWORD* status)
{
    DWORD size = 0;
    *status = ExportReg(root, path.c_str(), nullptr, &size);
    if (*status)
        return {};
    Bytes image(size + 4, 0xBD);   // sentinels past the end
    *status = ExportReg(root, path.c_str(), image.data(), &size);
    EXPECT_EQ(Bytes(4, 0xBD), Bytes(image.end() - 4, image.end())) << "wrote past the image";
    image.resize(size);
    return image;
}

void ExpectImage(HKEY root, const std::wstring& path, const Bytes& expected, int line)
{
    SCOPED_TRACE(testing::Message() << "image checked at line " << line);
    DWORD status = 0xFFFFFFFF;
    Bytes image = Export(root, path, &status);
    ASSERT_EQ(0u, status);
    EXPECT_EQ(expected, image);
    EXPECT_TRUE(CheckRegTreeImage(image.data(), (DWORD)image.size()));
}
#define EXPECT_IMAGE(root, path, expected) ExpectImage(root, path, expected, __LINE__)

TEST(RegTreeImage, OneValueAndOneSubkeyIsSixtyBytes)
{
    ScratchKey k(HKEY_CURRENT_USER, L"image60");
    k.SetDword(L"", L"A", 1);
    k.CreateKey(L"S");
    static const BYTE expected[60] = {
        0x3C, 0, 0, 0, 0x02, 0, 0, 0, 0x01, 0, 0, 0, 0x08, 0, 0, 0,
        0, 0, 0, 0, 0x01, 0, 0, 0,
        0x04, 0, 0, 0, 0x04, 0, 0, 0, 0x04, 0, 0, 0, 0x38, 0, 0, 0,
        0x41, 0, 0, 0,
        0x04, 0, 0, 0, 0, 0, 0, 0,
        0x53, 0, 0, 0,
        0x01, 0, 0, 0,
    };
    EXPECT_IMAGE(HKEY_CURRENT_USER, k.path(), Bytes(expected, expected + 60));
}

TEST(RegTreeImage, KeyWithoutValuesOrSubkeysIsTwentyFourBytes)
{
    ScratchKey k(HKEY_LOCAL_MACHINE, L"image24");
    EXPECT_IMAGE(HKEY_LOCAL_MACHINE, k.path(), Image().U32(24).U32(1).U32(0).U32(0).U32(0).U32(0).b);
}

TEST(RegTreeImage, DefaultValueHasNoName)
{
    ScratchKey k(HKEY_CURRENT_USER, L"imagedefault");
    k.SetValue(L"", L"", REG_SZ, L"x", 4);
    k.SetDword(L"", L"n", 2);
    // Data area at 16 + 8 + 2 x 16 + 4 = 60; the unnamed value's record is 16 bytes.
    Bytes expected = Image()
                         .U32(68).U32(1).U32(2).U32(4)
                         .U32(0).U32(2)
                         .U32(0).U32(REG_SZ).U32(4).U32(60)
                         .U32(4).U32(REG_DWORD).U32(4).U32(64).Name(L"n")
                         .Raw(L"x", 4).U32(2).b;
    EXPECT_IMAGE(HKEY_CURRENT_USER, k.path(), expected);
}

TEST(RegTreeImage, DeeperKeysCarryTheirRelativePathAndCountInTheNameTotal)
{
    ScratchKey k(HKEY_CURRENT_USER, L"imagedeep");
    k.SetDword(L"A\\B", L"v", 5);
    k.CreateKey(L"C");
    // Records: root 8, A 8+4, A\B 8+8, its value 16+4, C 8+4; names 4+8+4+4 = 20;
    // the data area begins at 16 + 4 x 8 + 16 + 20 = 84.
    Bytes expected = Image()
                         .U32(88).U32(4).U32(1).U32(20)
                         .U32(0).U32(0)
                         .U32(4).U32(0).Name(L"A")
                         .U32(8).U32(1).Name(L"A\\B")
                         .U32(4).U32(REG_DWORD).U32(4).U32(84).Name(L"v")
                         .U32(4).U32(0).Name(L"C")
                         .U32(5).b;
    EXPECT_IMAGE(HKEY_CURRENT_USER, k.path(), expected);
}

TEST(RegTreeImage, EmptyDataTakesTheOffsetWhereTheNextDataBegins)
{
    // Names in both insertion and name order: the platform may enumerate either way.
    ScratchKey k(HKEY_CURRENT_USER, L"imageempty");
    k.SetValue(L"", L"a", REG_BINARY, nullptr, 0);
    k.SetDword(L"", L"b", 7);
    k.SetValue(L"", L"c", REG_BINARY, nullptr, 0);
    // Data area at 16 + 8 + 3 x 16 + 3 x 4 = 84, total 88.
    Bytes expected = Image()
                         .U32(88).U32(1).U32(3).U32(12)
                         .U32(0).U32(3)
                         .U32(4).U32(REG_BINARY).U32(0).U32(84).Name(L"a")
                         .U32(4).U32(REG_DWORD).U32(4).U32(84).Name(L"b")
                         .U32(4).U32(REG_BINARY).U32(0).U32(88).Name(L"c")
                         .U32(7).b;
    EXPECT_IMAGE(HKEY_CURRENT_USER, k.path(), expected);
}

TEST(RegTreeImage, SizeProtocolAndArguments)
{
    ScratchKey k(HKEY_CURRENT_USER, L"imagesize");
    k.SetDword(L"", L"A", 1);
    DWORD size = 0;
    EXPECT_EQ(0u, ExportReg(HKEY_CURRENT_USER, k.path().c_str(), nullptr, &size));
    EXPECT_EQ(48u, size);
    Bytes small(47, 0xBD);
    size = 47;
    EXPECT_EQ((DWORD)REG_STATUS_BUFFER_SMALL, ExportReg(HKEY_CURRENT_USER, k.path().c_str(), small.data(), &size));
    EXPECT_EQ(48u, size);
    EXPECT_EQ(Bytes(47, 0xBD), small) << "a buffer too small is left untouched";
    EXPECT_EQ((DWORD)REG_STATUS_BAD_ARGUMENT, ExportReg(nullptr, k.path().c_str(), nullptr, &size));
    EXPECT_EQ((DWORD)REG_STATUS_BAD_ARGUMENT, ExportReg(HKEY_CURRENT_USER, nullptr, nullptr, &size));
    EXPECT_EQ((DWORD)REG_STATUS_BAD_ARGUMENT, ExportReg(HKEY_CURRENT_USER, k.path().c_str(), nullptr, nullptr));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, ExportReg(HKEY_CURRENT_USER, k.Sub(L"none").c_str(), nullptr, &size));
}

TEST(RegTreeImage, TreeThatGrewSinceItWasMeasuredIsRefused)
{
    ScratchKey k(HKEY_CURRENT_USER, L"imagegrow");
    k.SetDword(L"X", L"A", 1);
    DWORD size = 0;
    ASSERT_EQ(0u, ExportReg(HKEY_CURRENT_USER, k.path().c_str(), nullptr, &size));
    k.SetDword(L"X", L"B", 2);
    Bytes image(size + 4, 0xBD);
    DWORD given = size;
    EXPECT_EQ((DWORD)REG_STATUS_BUFFER_SMALL, ExportReg(HKEY_CURRENT_USER, k.path().c_str(), image.data(), &given));
    EXPECT_EQ(size + 16 + 4 + 4, given);

    // The writer itself stays inside the records and data that its header allows.
    RegTreeCount before = { 2, 1, 4 + 4, 4 };   // as measured before B was added
    DWORD total = 16 + 2 * 8 + 16 + 8 + 4;
    Bytes raw(total + 4, 0xBD);
    DWORD header[4] = { total, before.keys, before.values, before.nameBytes };
    memcpy(raw.data(), header, sizeof header);
    DWORD cursor = 16, data = total - 4;
    EXPECT_EQ((DWORD)ERROR_MORE_DATA, WriteRegTreeKey(HKEY_CURRENT_USER, k.path().c_str(), L"", raw.data(), &cursor, &data));
    EXPECT_EQ(Bytes(4, 0xBD), Bytes(raw.end() - 4, raw.end()));
}

TEST(RegTreeImage, PathsTooLongForTheBuffersAreRefusedNotCut)
{
    ScratchKey k(HKEY_CURRENT_USER, L"imagelong");
    std::wstring deep = std::wstring(200, L'a') + L"\\" + std::wstring(60, L'b');
    k.CreateKey(deep);
    DWORD status = 0;
    Bytes image = Export(HKEY_CURRENT_USER, k.path(), &status);
    EXPECT_EQ((DWORD)ERROR_FILENAME_EXCED_RANGE, status);
}

// Printers of the double's spooler with their driver data where an honest
// server asks for it: HKLM Printers\<name>\PrinterDriverData and HKCU
// Software\Halvren\<tag>\<name>. NoData lacks the first, NoUser the second.
class PropertiesTest : public testing::Test {
protected:
    const std::wstring tag = UniqueName(L"qvprops");
    ScratchKey printers{ HKEY_CURRENT_USER, L"printers" };
    Bytes devmode;

    std::wstring Name(const std::wstring& n) const { return n.empty() ? n : tag + L"-" + n; }
    std::wstring Hklm(const std::wstring& n) const
    {
        return L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\" + Name(n) + L"\\PrinterDriverData";
    }
    std::wstring Hkcu(const std::wstring& n) const { return L"Software\\Halvren\\" + tag + L"\\" + Name(n); }

    void SetUp() override
    {
        SetEnvironmentVariableW(L"QV_SIM_PRINTERS", printers.path().c_str());
        if (!g_pRecvData)
            g_pRecvData = new CRdpData();
        devmode.resize(220 + 96);
        for (size_t i = 0; i < devmode.size(); i++)
            devmode[i] = (BYTE)(i ^ 0x5C);
        for (LPCWSTR n : { L"Local", L"NoData", L"NoUser" })
            printers.SetValue(L"", Name(n), REG_BINARY, devmode.data(), (DWORD)devmode.size());
        printers.SetValue(L"", Name(L"Unreadable"), REG_BINARY, nullptr, 0);
        printers.SetDword(L"", Name(L"Denied"), ERROR_ACCESS_DENIED);
        for (LPCWSTR n : { L"Local", L"Unreadable", L"Denied", L"NoUser" })
            SetValue(HKEY_LOCAL_MACHINE, Hklm(n), L"Resolution", REG_DWORD, DwordData(600));
        for (LPCWSTR n : { L"Local", L"Unreadable", L"Denied", L"NoData" })
            SetValue(HKEY_CURRENT_USER, Hkcu(n) + L"\\Sub", L"", REG_SZ, SzData(L"on"));
    }
    void TearDown() override
    {
        for (LPCWSTR n : { L"Local", L"Unreadable", L"Denied", L"NoUser" })
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, (L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\" + Name(n)).c_str());
        RegDeleteTreeW(HKEY_CURRENT_USER, (L"Software\\Halvren\\" + tag).c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Halvren");   // only when nothing else lives there
    }

    // Loads a request as the channel would and runs the handler.
    ReplyView Ask(const std::wstring& printer, const std::wstring& hklm, const std::wstring& hkcu)
    {
        Bytes message = MakeMessage(4, Payload().Str(printer).Str(hklm).Str(hkcu).bytes());
        for (const Bytes& block : CutBlocks(message)) {
            DWORD length;
            WORD seq, flags;
            memcpy(&length, &block[0], 4);
            memcpy(&seq, &block[4], 2);
            memcpy(&flags, &block[6], 2);
            g_pRecvData->LoadBlock(block.data() + 8, length, seq, flags);
        }
        CRdpData reply = GetProperties();
        g_pRecvData->Clear();
        EXPECT_EQ(0, SimPrinterOpenCount()) << "printer handle left open";
        return ReplyView(Bytes(reply.Buffer(), reply.Buffer() + reply.Size()));
    }
};

// Skips one DWORD-prefixed part; its size.
DWORD SkipPart(ReplyView& v)
{
    DWORD n = v.Dword();
    v.Raw(n);
    return n;
}

TEST_F(PropertiesTest, AllThreePartsInOrder)
{
    ReplyView v = Ask(Name(L"Local"), Hklm(L"Local"), Hkcu(L"Local"));
    EXPECT_EQ(4, v.cmd);
    EXPECT_EQ(0, v.res);
    EXPECT_EQ(devmode.size(), v.Dword());
    EXPECT_EQ(devmode, v.Raw(devmode.size()));
    DWORD status = 0;
    Bytes hklm = Export(HKEY_LOCAL_MACHINE, Hklm(L"Local"), &status);
    EXPECT_EQ(hklm.size(), v.Dword());
    EXPECT_EQ(hklm, v.Raw(hklm.size()));
    Bytes hkcu = Export(HKEY_CURRENT_USER, Hkcu(L"Local"), &status);
    EXPECT_EQ(hkcu.size(), v.Dword());
    EXPECT_EQ(hkcu, v.Raw(hkcu.size()));
    EXPECT_EQ(0u, v.Left());
}

// A printer the spooler does not list is refused before anything is opened,
// with the parts of a printer that has nothing at all.
TEST_F(PropertiesTest, ResultAndPartsForEachFailure)
{
    static const struct {
        const wchar_t* name;
        const wchar_t* printer;
        bool hklmMissing, hkcuMissing;
        WORD res;
        bool devmodePart;
    } rows[] = {
        { L"missing per-user key", L"NoUser", false, true, 0, true },
        { L"missing printer", L"Nobody", true, true, 1, false },
        { L"printer that cannot be opened", L"Denied", false, false, 1, false },
        { L"device mode unreadable", L"Unreadable", false, false, 1, false },
        { L"missing driver data", L"NoData", true, false, 1, true },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.name, row.name + wcslen(row.name)));
        LONG opened = SimPrinterOpenAttempts(nullptr, 0);
        ReplyView v = Ask(Name(row.printer), Hklm(row.printer), Hkcu(row.printer));
        EXPECT_EQ(row.res, v.res);
        if (row.devmodePart) {
            EXPECT_EQ(devmode.size(), SkipPart(v));
        }
        EXPECT_EQ(row.hklmMissing, SkipPart(v) == 0);
        EXPECT_EQ(row.hkcuMissing, SkipPart(v) == 0);
        EXPECT_EQ(0u, v.Left()) << "parts beyond the three";
        EXPECT_EQ(wcscmp(row.printer, L"Nobody") != 0, SimPrinterOpenAttempts(nullptr, 0) != opened);
    }
}

TEST_F(PropertiesTest, EmptyPathsAreRefused)
{
    ReplyView v = Ask(Name(L"Local"), L"", L"");
    EXPECT_EQ(1, v.res);
    EXPECT_EQ(0u, v.Dword());
    EXPECT_EQ(0u, v.Dword());
    EXPECT_EQ(0u, v.Left());
}

TEST_F(PropertiesTest, StringsLongerThanTheirBuffersAreMalformed)
{
    static const struct {
        size_t printer, hklm, hkcu;
        bool malformed;
    } rows[] = {
        { 1024, 10, 10, false },
        { 1025, 10, 10, true },
        { 10, 1023, 1023, false },
        { 10, 1024, 10, true },
        { 10, 10, 1024, true },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.printer << "/" << row.hklm << "/" << row.hkcu);
        bool thrown = false;
        try {
            Ask(std::wstring(row.printer, L'p'), std::wstring(row.hklm, L'h'), std::wstring(row.hkcu, L'u'));
        } catch (const RdpException& e) {
            thrown = true;
            EXPECT_EQ(0xFE00, e.res);
        }
        g_pRecvData->Clear();
        EXPECT_EQ(row.malformed, thrown);
    }
}

}  // namespace
