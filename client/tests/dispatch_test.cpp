#include <gtest/gtest.h>
#include <string.h>
#include <algorithm>
#include <string>
#include <vector>
#include "rdpcmd.h"
#include "rdp_testlog.h"

// The client module's handlers, replaced here by ones that only record that
// the dispatcher reached them and what they read.
namespace {
int g_handled;
RDPRESULT g_downloadResult = 2;
}

CRdpData GetFileVer()
{
    g_handled = RDP_CMD_GETFILEVER;
    CRdpData reply(RDP_CMD_GETFILEVER, RDP_RES_OK);
    reply.AddDWORD(0);
    return reply;
}

RDPRESULT DoDownload()
{
    g_handled = RDP_CMD_DOWNLOAD;
    return g_downloadResult;
}

CRdpData GetProperties()
{
    g_handled = RDP_CMD_GETPROPERTIES;
    WCHAR printer[CCH_PRINTER_NAME];
    CRdpData reply(RDP_CMD_GETPROPERTIES, RDP_RES_OK);
    reply.AddDWORD(g_pRecvData->GetString(printer, ARRAYSIZE(printer)));
    return reply;
}

namespace {

std::vector<BYTE> Bytes(const CRdpData& m)
{
    return std::vector<BYTE>(m.Buffer(), m.Buffer() + m.Size());
}

// Puts a request where the client's dispatcher reads it, as LoadBlock leaves it.
class ReceivedRequest {
public:
    explicit ReceivedRequest(const CRdpData& req) : msg_(req)
    {
        msg_.CopyObject(req.Buffer(), 0);
        g_pRecvData = &msg_;
        g_handled = 0;
    }
    ~ReceivedRequest() { g_pRecvData = nullptr; }
    ReceivedRequest(const ReceivedRequest&) = delete;
    ReceivedRequest& operator=(const ReceivedRequest&) = delete;
private:
    CRdpData msg_;
};

std::vector<BYTE> Utf16(const wchar_t* text)
{
    std::vector<BYTE> out;
    for (const wchar_t* p = text;; p++) {
        out.push_back((BYTE)(*p & 0xFF));
        out.push_back((BYTE)(*p >> 8));
        if (!*p)
            return out;
    }
}

}  // namespace

TEST(Requests, InitializeLayout)
{
    CRdpData req;
    MakeInitializeRequest(req, 3, L"sakura");
    std::vector<BYTE> expected = {18, 0, 0, 0, 1, 0, 0xFF, 0xFF, 3, 0, 0, 0};
    std::vector<BYTE> name = Utf16(L"sakura");
    expected.insert(expected.end(), name.begin(), name.end());
    EXPECT_EQ(26u, req.Size());
    EXPECT_EQ(expected, Bytes(req));
    EXPECT_EQ(0u, req.ReadPos());
}

// What the server builds, read back item by item with the client's buffer sizes.
TEST(Requests, PayloadsReadBackInOrder)
{
    CRdpData req;
    MakeGetFileVerRequest(req);
    EXPECT_EQ((std::vector<BYTE>{0, 0, 0, 0, 2, 0, 0xFF, 0xFF}), Bytes(req));

    std::wstring printer(1023, L'P');
    std::wstring prefix = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\", suffix = L"\\PrinterDriverData";
    std::wstring hklm = prefix + std::wstring(1023 - prefix.size() - suffix.size(), L'x') + suffix;
    std::wstring hkcu = L"Software\\Halvren\\PCL\\\x30d7\x30ea\x30f3\x30bf";
    MakeGetPropertiesRequest(req, printer.c_str(), hklm.c_str(), hkcu.c_str());
    EXPECT_EQ(RDP_CMD_GETPROPERTIES, req.Cmd());
    EXPECT_EQ(RDP_RES_NONE, req.Res());
    WCHAR name[CCH_PRINTER_NAME], path1[CCH_REG_PATH], path2[CCH_REG_PATH];
    EXPECT_EQ(1023u, req.GetString(name, ARRAYSIZE(name)));
    EXPECT_EQ(1023u, req.GetString(path1, ARRAYSIZE(path1)));
    EXPECT_EQ(hkcu.size(), req.GetString(path2, ARRAYSIZE(path2)));
    EXPECT_EQ(printer, name);
    EXPECT_EQ(hklm, path1);
    EXPECT_EQ(hkcu, path2);
    EXPECT_EQ(req.Len(), req.ReadPos());
    EXPECT_LE(req.Size(), (DWORD)RDP_REQUEST_MAX);

    // A file of 159905 bytes goes as a full first piece and a 1-byte second.
    std::vector<BYTE> file(159905);
    for (size_t i = 0; i < file.size(); i++)
        file[i] = (BYTE)(i * 13);
    std::wstring longName(259, L'q');
    MakeDownloadRequest(req, (DWORD)file.size(), longName.c_str(), file.data(), RDP_DOWNLOAD_PIECE_MAX);
    EXPECT_EQ((DWORD)RDP_REQUEST_MAX, req.Size()) << "the largest request is the bound LoadBlock uses";
    WCHAR fileName[CCH_FILE_NAME];
    std::vector<BYTE> piece(RDP_DOWNLOAD_PIECE_MAX);
    EXPECT_EQ(159905u, req.GetDWORD());
    EXPECT_EQ(259u, req.GetString(fileName, ARRAYSIZE(fileName)));
    EXPECT_EQ((DWORD)RDP_DOWNLOAD_PIECE_MAX, req.GetDWORD());
    EXPECT_EQ((DWORD)RDP_DOWNLOAD_PIECE_MAX, req.GetBuf(piece.data(), RDP_DOWNLOAD_PIECE_MAX));
    EXPECT_TRUE(std::equal(piece.begin(), piece.end(), file.begin()));

    MakeDownloadRequest(req, 0, CLIENT_DLL_NAME, file.data() + RDP_DOWNLOAD_PIECE_MAX, 1);
    EXPECT_EQ((std::vector<BYTE>{9, 0, 0, 0, 3, 0, 0xFF, 0xFF, 0, 0, 0, 0, 1, 0, 0, 0, file.back()}), Bytes(req));
}

TEST(DoRequest, DispatchesByCommand)
{
    static const struct {
        WORD cmd;
        int handler;
        WORD replyCmd;
        WORD replyRes;
        DWORD replyLen;
    } cases[] = {
        {0, 0, 0, RDP_RES_NONE, 0},
        {5, 0, 0, RDP_RES_NONE, 0},
        {0xFFFF, 0, 0, RDP_RES_NONE, 0},
        {RDP_CMD_GETFILEVER, RDP_CMD_GETFILEVER, RDP_CMD_GETFILEVER, RDP_RES_OK, 4},
        {RDP_CMD_DOWNLOAD, RDP_CMD_DOWNLOAD, RDP_CMD_DOWNLOAD, 2, 0},
        {RDP_CMD_GETPROPERTIES, RDP_CMD_GETPROPERTIES, RDP_CMD_GETPROPERTIES, RDP_RES_OK, 4},
    };
    TestLog log;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cmd);
        CRdpData req(c.cmd, 0x1234);
        req.AddString(L"printer");
        ReceivedRequest received(req);
        CRdpData reply = DoRequest();
        EXPECT_EQ(c.handler, g_handled);
        EXPECT_EQ(c.replyCmd, reply.Cmd());
        EXPECT_EQ(c.replyRes, reply.Res());
        EXPECT_EQ(c.replyLen, reply.Len());
        EXPECT_EQ((SIZE_T)reply.Size(), HeapSize(reply.Heap(), 0, reply.Buffer()));
    }
    EXPECT_TRUE(log.Has(",32,,DoRequest,,wCmd=5"));

    // A handler's raise is left to the channel callback, which answers it.
    g_pRecvData = nullptr;
    CRdpData none = DoRequest();
    EXPECT_EQ(0, none.Cmd());
    EXPECT_EQ(RDP_RES_NONE, none.Res());
}

TEST(Initialize, RepliesWithTheUserAndTakesTheSessionForTheLog)
{
    TestLog log;
    lstrcpyW(g_szUserName, L"taro");
    lstrcpyW(g_szServerName, L"ts01.example");
    CRdpData req;
    MakeInitializeRequest(req, 7, L"hanako");
    ReceivedRequest received(req);

    CRdpData reply = DoRequest();
    std::vector<BYTE> expected = {10, 0, 0, 0, 1, 0, 0, 0};
    std::vector<BYTE> name = Utf16(L"taro");
    expected.insert(expected.end(), name.begin(), name.end());
    EXPECT_EQ(expected, Bytes(reply));
    EXPECT_EQ(7u, GetLogSession());
    EXPECT_TRUE(log.Has(",7,128,,Initialize,,ts01.example,hanako")) << log.Text();
}

// A short or malformed greeting is still answered; the name that does not fit
// the 257-character buffer is dropped rather than overrunning it.
TEST(Initialize, MalformedGreetingsAreStillAnswered)
{
    static const struct {
        const char* name;
        std::vector<BYTE> payload;
        DWORD session;
        const char* line;
    } cases[] = {
        {"empty", {}, 0, ",Initialize,,ts01,"},
        {"no name", {5, 0, 0, 0}, 5, ",Initialize,,ts01,"},
        {"unterminated", {6, 0, 0, 0, 'a', 0, 'b', 0}, 6, ",Initialize,,ts01,"},
        {"overlong", {}, 9, "BUFFER OVERRUN,258 vs 257"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestLog log;
        lstrcpyW(g_szServerName, L"ts01");
        CRdpData req(RDP_CMD_INITIALIZE, RDP_RES_NONE);
        if (c.payload.empty() && c.session) {
            req.AddDWORD(c.session);
            req.AddString(std::wstring(257, L'u').c_str());
        } else {
            req.AddBuf(c.payload.data(), (DWORD)c.payload.size());
        }
        ReceivedRequest received(req);
        CRdpData reply = DoRequest();
        EXPECT_EQ(RDP_CMD_INITIALIZE, reply.Cmd());
        EXPECT_EQ(RDP_RES_OK, reply.Res());
        EXPECT_EQ(c.session, GetLogSession());
        EXPECT_TRUE(log.Has(c.line)) << log.Text();
    }
}
