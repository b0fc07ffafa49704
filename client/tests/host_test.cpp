// The add-in library driven from disk by the Remote Desktop client host
// double, with the server's side scripted here.
#include <gtest/gtest.h>
#include "hostsession.h"
#include <string.h>

namespace {

const WORD CMD_INITIALIZE = 1, CMD_GETFILEVER = 2, CMD_GETPROPERTIES = 4;

std::wstring ServerName(const std::wstring& tag)
{
    return UniqueName(L"srv-" + tag) + L"-" + std::to_wstring(GetTickCount());
}

Bytes UnknownRequest(WORD cmd, size_t payloadBytes = 0)
{
    Bytes payload(payloadBytes);
    for (size_t i = 0; i < payloadBytes; i++)
        payload[i] = (BYTE)(i * 7);
    return MakeMessage(cmd, payload);
}

void ExpectReply(const Bytes& reply, WORD cmd, WORD res, DWORD len, int line)
{
    SCOPED_TRACE(testing::Message() << "reply checked at line " << line);
    ASSERT_GE(reply.size(), 8u);
    ReplyView v(reply);
    EXPECT_EQ(cmd, v.cmd);
    EXPECT_EQ(res, v.res);
    EXPECT_EQ(len, v.len);
    EXPECT_EQ(reply.size(), 8u + v.len);
}
#define EXPECT_REPLY(reply, cmd, res, len) ExpectReply(reply, cmd, res, len, __LINE__)

class HostTest : public testing::Test {
protected:
    ScratchDir dir{ L"host" };
    std::wstring library = InstallSimLibrary(dir);
};

TEST_F(HostTest, GreetingIsAnsweredAndItsSessionNumbersLaterLines)
{
    HostSession host(library);
    ASSERT_TRUE(host.started());
    std::wstring server = ServerName(L"greet");
    ASSERT_TRUE(host.Connect(server));

    // Small enough to arrive as one chunk with flags 3.
    Bytes reply = host.Request(MakeMessage(CMD_INITIALIZE, Payload().Dword(7).Str(L"taro").bytes()));
    ReplyView v(reply);
    EXPECT_REPLY(reply, CMD_INITIALIZE, 0, (DWORD)(UserName().size() + 1) * 2);
    EXPECT_EQ(UserName(), v.Str());
    EXPECT_REPLY(host.Request(UnknownRequest(5)), 0, 0xFFFF, 0);
    host.Disconnect();
    EXPECT_EQ(0u, host.Finish());

    std::string log = ReadLogText(server);
    std::string narrow(server.begin(), server.end());
    EXPECT_NE(std::string::npos, log.find(",0,128,>,VirtualChannelOpenEvent,")) << "lines before the greeting";
    EXPECT_NE(std::string::npos, log.find(",7,128,,Initialize,," + narrow + ",taro\r\n"));
    EXPECT_NE(std::string::npos, log.find(",7,128,<,VirtualChannelOpenEvent,")) << "lines after the greeting";
}

TEST_F(HostTest, UnknownCommandsAreAnsweredWithNoneAndNoPayload)
{
    HostSession host(library);
    ASSERT_TRUE(host.Connect(ServerName(L"unknown")));
    for (WORD cmd : { 0, 5, 0xFFFF }) {
        SCOPED_TRACE(testing::Message() << "CMD " << cmd);
        EXPECT_REPLY(host.Request(UnknownRequest(cmd, 12)), 0, 0xFFFF, 0);
    }
    EXPECT_EQ(0u, host.Finish());
}

TEST_F(HostTest, FullBlockInFourChunksIsAnsweredOnce)
{
    HostSession host(library);
    ASSERT_TRUE(host.Connect(ServerName(L"full")));
    Bytes message = UnknownRequest(9, 6392 - 8);   // one block of 6400 bytes: four chunks of 1600
    ASSERT_EQ(1u, CutBlocks(message).size());
    ASSERT_EQ(6400u, CutBlocks(message)[0].size());
    EXPECT_REPLY(host.Request(message), 0, 0xFFFF, 0);
    EXPECT_TRUE(host.Silent(300));

    // A message of three blocks still gets one reply, after its last block.
    EXPECT_REPLY(host.Request(UnknownRequest(9, 15000)), 0, 0xFFFF, 0);
    EXPECT_TRUE(host.Silent(300));
    EXPECT_EQ(0u, host.Finish());
}

TEST_F(HostTest, OversizedWriteIsAnsweredOnceWithBlockSizeError)
{
    HostSession host(library);
    ASSERT_TRUE(host.Connect(ServerName(L"oversize")));
    // A version query that would be answered with CMD 2, inside a write of 6401 bytes.
    Bytes block = MakeBlock(MakeMessage(CMD_GETFILEVER, {}), 0, 3, 6393);
    block.resize(6401, 0xAB);
    ASSERT_TRUE(host.Write(block));
    Bytes reply;
    ASSERT_TRUE(host.Reply(&reply));
    EXPECT_REPLY(reply, 0, 0xFE10, 0);
    EXPECT_TRUE(host.Silent(500)) << "the rest of the write must not draw a second reply";
    EXPECT_REPLY(host.Request(UnknownRequest(5)), 0, 0xFFFF, 0);
    EXPECT_EQ(0u, host.Finish());
}

TEST_F(HostTest, ShortBlockIsDroppedWithWarningAndItsRetryAccepted)
{
    HostSession host(library);
    std::wstring server = ServerName(L"short");
    ASSERT_TRUE(host.Connect(server));
    Bytes block = CutBlocks(UnknownRequest(5, 192))[0];   // dwLength 200
    ASSERT_EQ(208u, block.size());
    ASSERT_TRUE(host.Write(Bytes(block.begin(), block.begin() + 100)));
    EXPECT_TRUE(host.Silent(500));
    ASSERT_TRUE(host.Write(block));
    Bytes reply;
    ASSERT_TRUE(host.Reply(&reply));
    EXPECT_REPLY(reply, 0, 0xFFFF, 0);
    EXPECT_EQ(0u, host.Finish());
    EXPECT_NE(std::string::npos,
              ReadLogText(server).find(",255,W,AddChunkToBlock,,blocksize short,recv(100),server(208),server will retry..."));
}

TEST_F(HostTest, RepliesSurviveEveryWayTheClientCompletesWrites)
{
    static const struct {
        const wchar_t* options;
        int lost;   // replies the host refuses to send
    } rows[] = {
        { L"", 0 },
        { L"--complete-inside", 0 },
        { L"--cancel-writes", 0 },
        { L"--fail-write 1", 1 },
        { L"--fail-write 2", 1 },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "options \"" << std::string(row.options, row.options + wcslen(row.options)) << "\"");
        HostSession host(library, row.options);
        ASSERT_TRUE(host.Connect(ServerName(L"writes")));
        for (int i = 0; i < 4; i++)
            ASSERT_TRUE(host.Send(UnknownRequest(5, 40)));
        int answered = 0;
        Bytes reply;
        while (answered < 4 - row.lost && host.Reply(&reply)) {
            EXPECT_REPLY(reply, 0, 0xFFFF, 0);
            answered++;
        }
        EXPECT_TRUE(host.Silent(500));
        EXPECT_EQ(4 - row.lost, answered);
        host.Disconnect();
        EXPECT_EQ(0u, host.Finish());
    }
}

TEST_F(HostTest, PrinterPropertiesThroughTheLibrary)
{
    ScratchKey printers(HKEY_CURRENT_USER, L"host-printers");
    ScratchKey driverData(HKEY_LOCAL_MACHINE, L"host-driverdata");
    SetEnvironmentVariableW(L"QV_SIM_PRINTERS", printers.path().c_str());
    Bytes devmode(220 + 180);   // public part and driver-private bytes
    for (size_t i = 0; i < devmode.size(); i++)
        devmode[i] = (BYTE)(i * 13 + 1);
    printers.SetValue(L"", L"\\\\pc\\Office A", REG_BINARY, devmode.data(), (DWORD)devmode.size());
    driverData.SetDword(L"", L"Copies", 3);

    HostSession host(library);
    ASSERT_TRUE(host.Connect(ServerName(L"props")));
    Bytes reply = host.Request(MakeMessage(CMD_GETPROPERTIES, Payload()
                                                                  .Str(L"\\\\pc\\Office A")
                                                                  .Str(driverData.path())
                                                                  .Str(L"Software\\QuorvaneTest\\none")
                                                                  .bytes()));
    ReplyView v(reply);
    EXPECT_EQ(CMD_GETPROPERTIES, v.cmd);
    EXPECT_EQ(0, v.res);
    EXPECT_EQ(devmode.size(), v.Dword());
    EXPECT_EQ(devmode, v.Raw(devmode.size()));
    DWORD imageSize = v.Dword();
    Bytes image = v.Raw(imageSize);
    ASSERT_GE(image.size(), 16u);
    DWORD total;
    memcpy(&total, image.data(), 4);
    EXPECT_EQ(imageSize, total);
    EXPECT_EQ(0u, v.Dword()) << "the missing per-user key";
    EXPECT_EQ(0u, v.Left());
    EXPECT_EQ(0u, host.Finish());
}

TEST_F(HostTest, UnloadFromAnotherThreadLeavesNoWindowBehind)
{
    HostSession host(library, L"--unload-thread");
    ASSERT_TRUE(host.Connect(ServerName(L"unload")));
    EXPECT_REPLY(host.Request(UnknownRequest(5)), 0, 0xFFFF, 0);
    host.Disconnect();
    EXPECT_EQ(0u, host.Finish()) << "6: the add-in's window outlived the library";
}

TEST_F(HostTest, FailedStartLeavesTheLibraryInertAndTheHostRunning)
{
    HostSession host(library, L"--fail-window");
    ASSERT_TRUE(host.Connect(ServerName(L"inert")));
    ASSERT_TRUE(host.Send(UnknownRequest(5)));
    EXPECT_TRUE(host.Silent(1000));
    ASSERT_TRUE(host.Disconnect());
    ASSERT_TRUE(host.Connect(ServerName(L"inert2")));
    ASSERT_TRUE(host.Send(UnknownRequest(5)));
    EXPECT_TRUE(host.Silent(500));
    EXPECT_EQ(11u, host.Finish()) << "10 + one start-up message box";
}

}  // namespace
