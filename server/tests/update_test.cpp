// Sending the client file in pieces, without the user interface around it.
#include <gtest/gtest.h>
#include <windows.h>
#include <string.h>
#include <memory>
#include <wtsapi32.h>
#include "fakeclient.h"
#include "rdpcmd.h"
#include "testutil.h"
#include "update.h"
#include "wts_double.h"

using svtest::Bytes;

namespace {

class Download : public ::testing::Test {
protected:
    void SetUp() override { WtsDouble::Reset(); channel = WTSVirtualChannelOpen(nullptr, 0, (LPSTR)RDP_CHANNEL_NAME); }
    void TearDown() override { WTSVirtualChannelClose(channel); }
    std::wstring WriteCopy(DWORD size)
    {
        Bytes content(size);
        for (DWORD i = 0; i < size; i++)
            content[i] = (BYTE)(i * 13 + i / 977);
        std::wstring path = folder.File(L"copy.dll");
        HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        WriteFile(f, content.data(), size, &written, nullptr);
        CloseHandle(f);
        file = content;
        return path;
    }
    svtest::TestLog log;
    svtest::TestEvents events;
    svtest::TempFolder folder{L"download"};
    HANDLE channel = nullptr;
    Bytes file;
};

// Answers every piece with `results` in turn (then 0).
svtest::FakeClient::Handler Pieces(std::vector<WORD> results)
{
    auto next = std::make_shared<size_t>(0);
    return [results, next](CRdpData&) {
        WORD res = *next < results.size() ? results[(*next)++] : 0;
        return svtest::ReplyBytes(CRdpData(RDP_CMD_DOWNLOAD, res));
    };
}

TEST_F(Download, PiecesCarryTheTotalAndNameOnlyFirst)
{
    static const struct { DWORD size; std::vector<DWORD> pieces; } cases[] = {
        {159904, {159904}},
        {159905, {159904, 1}},
        {1, {1}},
        {3 * 159904 + 7, {159904, 159904, 159904, 7}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        std::wstring path = WriteCopy(c.size);
        svtest::FakeClient client(Pieces({}));
        EXPECT_EQ(0, DownloadFile(channel, path.c_str(), CLIENT_DLL_NAME));
        auto requests = client.Requests();
        ASSERT_EQ(c.pieces.size(), requests.size());
        Bytes joined;
        for (size_t i = 0; i < requests.size(); i++) {
            CRdpData& r = requests[i];
            EXPECT_EQ(RDP_CMD_DOWNLOAD, r.Cmd());
            EXPECT_EQ(i == 0 ? c.size : 0u, r.GetDWORD());
            if (i == 0) {
                WCHAR name[CCH_FILE_NAME];
                ASSERT_NE(RDP_STRING_BAD, r.GetString(name, ARRAYSIZE(name)));
                EXPECT_STREQ(CLIENT_DLL_NAME, name);
            }
            DWORD n = r.GetDWORD();
            EXPECT_EQ(c.pieces[i], n);
            ASSERT_EQ(r.Len(), r.ReadPos() + n);   // the piece's bytes and nothing after them
            joined.insert(joined.end(), r.Buffer() + sizeof(RDPHEADER) + r.ReadPos(), r.Buffer() + r.Size());
        }
        EXPECT_EQ(file, joined);
    }
}

TEST_F(Download, FirstFailedPieceEndsTheTransfer)
{
    std::wstring path = WriteCopy(3 * 159904);
    svtest::FakeClient client(Pieces({0, 2}));
    EXPECT_EQ(2, DownloadFile(channel, path.c_str(), CLIENT_DLL_NAME));
    EXPECT_EQ(2u, client.Requests().size());
}

TEST_F(Download, ServerCopyThatCannotBeReadSendsNothing)
{
    std::wstring empty = WriteCopy(0);
    svtest::FakeClient client(Pieces({}));
    EXPECT_EQ(DOWNLOAD_READ_ERROR, DownloadFile(channel, folder.File(L"missing.dll").c_str(), CLIENT_DLL_NAME));
    EXPECT_EQ(DOWNLOAD_READ_ERROR, DownloadFile(channel, empty.c_str(), CLIENT_DLL_NAME));
    EXPECT_EQ(0u, client.Requests().size());
    EXPECT_TRUE(log.Has(",,CreateFile error", "DownloadFile"));
}

// Another session sending the same copy holds it open for reading as we do.
TEST_F(Download, CopyBeingSentElsewhereCanStillBeSent)
{
    std::wstring path = WriteCopy(200000);
    HANDLE other = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, other);
    svtest::FakeClient client(Pieces({}));
    EXPECT_EQ(0, DownloadFile(channel, path.c_str(), CLIENT_DLL_NAME));
    CloseHandle(other);
}

}  // namespace
