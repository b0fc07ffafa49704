// The add-in library driven from disk by the Remote Desktop client host
// double, with the server's side scripted here.
#include <gtest/gtest.h>
#include "hostsession.h"
#include <string.h>
#include <algorithm>

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

#define PRINTERS_KEY L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\"
#define DRIVER_DATA  L"\\PrinterDriverData"

// Printers of the PC as its spooler (the double) lists them, their driver
// data under both roots, and a secret marker planted wherever a hostile
// request could point instead: another printer's keys and keys beside them.
class PcPrinters {
public:
    const std::wstring own = UniqueName(L"Office A");
    const std::wstring other = UniqueName(L"Office B");
    const std::wstring pdl = UniqueName(L"QvTrustPDL");
    const std::wstring marker = L"QV-SECRET-" + UniqueName(L"marker");
    ScratchKey spooler{ HKEY_CURRENT_USER, L"trust-printers" };
    Bytes devmode = Bytes(400);

    PcPrinters()
    {
        for (size_t i = 0; i < devmode.size(); i++)
            devmode[i] = (BYTE)(i * 13 + 1);
        SetEnvironmentVariableW(L"QV_SIM_PRINTERS", spooler.path().c_str());
        for (const std::wstring& name : { own, other })
            spooler.SetValue(L"", name, REG_BINARY, devmode.data(), (DWORD)devmode.size());
        SetValue(HKEY_LOCAL_MACHINE, PRINTERS_KEY + own + DRIVER_DATA, L"Copies", REG_DWORD, DwordData(3));
        SetValue(HKEY_CURRENT_USER, UserKey(own), L"Duplex", REG_DWORD, DwordData(1));
        for (HKEY root : { HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER }) {
            SetValue(root, L"Software\\" + pdl, L"Secret", REG_SZ, SzData(marker));
            SetValue(root, PRINTERS_KEY + other + DRIVER_DATA, L"Secret", REG_SZ, SzData(marker));
            SetValue(root, UserKey(other), L"Secret", REG_SZ, SzData(marker));
        }
    }
    ~PcPrinters()
    {
        SetEnvironmentVariableW(L"QV_SIM_PRINTERS", nullptr);
        for (HKEY root : { HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER }) {
            for (const std::wstring& key : { L"Software\\" + pdl, std::wstring(PRINTERS_KEY) + own,
                                             std::wstring(PRINTERS_KEY) + other, L"Software\\Halvren\\" + pdl })
                RegDeleteTreeW(root, key.c_str());
            RegDeleteKeyW(root, L"Software\\Halvren");   // only when nothing else lives there
        }
    }
    std::wstring UserKey(const std::wstring& printer) const { return L"Software\\Halvren\\" + pdl + L"\\" + printer; }
    // {own}, {other} and {pdl} in a row of a table replaced by this PC's names.
    std::wstring Expand(std::wstring text) const
    {
        for (const auto& token : { std::make_pair(L"{own}", own), std::make_pair(L"{other}", other),
                                   std::make_pair(L"{pdl}", pdl) })
            for (size_t at; (at = text.find(token.first)) != std::wstring::npos;)
                text.replace(at, wcslen(token.first), token.second);
        return text;
    }
};

Bytes PropertiesRequest(const std::wstring& printer, const std::wstring& hklm, const std::wstring& hkcu)
{
    return MakeMessage(CMD_GETPROPERTIES, Payload().Str(printer).Str(hklm).Str(hkcu).bytes());
}

bool Contains(const Bytes& haystack, const std::wstring& needle)
{
    const BYTE* n = (const BYTE*)needle.c_str();
    return std::search(haystack.begin(), haystack.end(), n, n + needle.size() * 2) != haystack.end();
}

TEST_F(HostTest, PrinterPropertiesThroughTheLibrary)
{
    PcPrinters pc;
    HostSession host(library);
    ASSERT_TRUE(host.Connect(ServerName(L"props")));
    Bytes reply = host.Request(PropertiesRequest(pc.own, PRINTERS_KEY + pc.own + DRIVER_DATA,
                                                 L"Software\\Halvren\\none\\" + pc.own));
    ReplyView v(reply);
    EXPECT_EQ(CMD_GETPROPERTIES, v.cmd);
    EXPECT_EQ(0, v.res);
    EXPECT_EQ(pc.devmode.size(), v.Dword());
    EXPECT_EQ(pc.devmode, v.Raw(pc.devmode.size()));
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

// Whatever a terminal server asks for, the PC reads only its own printers'
// settings: anything else is answered as a printer that is not there.
TEST_F(HostTest, HostilePropertiesRequestsReadNothingElse)
{
    static const struct {
        const char* what;
        const wchar_t *printer, *hklm, *hkcu;
    } hostile[] = {
        { "another printer's machine key", L"{own}", PRINTERS_KEY L"{other}" DRIVER_DATA, L"Software\\Halvren\\{pdl}\\{own}" },
        { "another printer's user key", L"{own}", PRINTERS_KEY L"{own}" DRIVER_DATA, L"Software\\Halvren\\{pdl}\\{other}" },
        { "a machine key elsewhere", L"{own}", L"Software\\{pdl}", L"Software\\Halvren\\{pdl}\\{own}" },
        { "a user key elsewhere", L"{own}", PRINTERS_KEY L"{own}" DRIVER_DATA, L"Software\\{pdl}" },
        { "machine path with ..", L"{own}", PRINTERS_KEY L"{own}" DRIVER_DATA L"\\..\\..\\{other}" DRIVER_DATA,
          L"Software\\Halvren\\{pdl}\\{own}" },
        { "user path with ..", L"{own}", PRINTERS_KEY L"{own}" DRIVER_DATA, L"Software\\Halvren\\..\\{own}" },
        { "machine path, trailing separator", L"{own}", PRINTERS_KEY L"{own}" DRIVER_DATA L"\\",
          L"Software\\Halvren\\{pdl}\\{own}" },
        { "user path, trailing separator", L"{own}", PRINTERS_KEY L"{own}" DRIVER_DATA,
          L"Software\\Halvren\\{pdl}\\{own}\\" },
        { "machine path, doubled separator", L"{own}", PRINTERS_KEY L"\\{own}" DRIVER_DATA,
          L"Software\\Halvren\\{pdl}\\{own}" },
        { "user path, two components", L"{own}", PRINTERS_KEY L"{own}" DRIVER_DATA,
          L"Software\\Halvren\\{pdl}\\x\\{own}" },
        { "user path, no component", L"{own}", PRINTERS_KEY L"{own}" DRIVER_DATA, L"Software\\Halvren\\{own}" },
        { "a subkey of the driver data", L"{own}", PRINTERS_KEY L"{own}" DRIVER_DATA L"\\Trays",
          L"Software\\Halvren\\{pdl}\\{own}" },
        { "the other printer with this one's keys", L"{other}", PRINTERS_KEY L"{own}" DRIVER_DATA,
          L"Software\\Halvren\\{pdl}\\{own}" },
        { "a UNC name", L"\\\\evil\\{own}", PRINTERS_KEY L"\\\\evil\\{own}" DRIVER_DATA,
          L"Software\\Halvren\\{pdl}\\\\\\evil\\{own}" },
        { "a name with a comma", L"{own},LocalOnly", PRINTERS_KEY L"{own},LocalOnly" DRIVER_DATA,
          L"Software\\Halvren\\{pdl}\\{own},LocalOnly" },
        { "a name with a backslash", L"{pdl}\\{own}", PRINTERS_KEY L"{pdl}\\{own}" DRIVER_DATA,
          L"Software\\Halvren\\{pdl}\\{pdl}\\{own}" },
        { "a name with a trailing space", L"{own} ", PRINTERS_KEY L"{own} " DRIVER_DATA,
          L"Software\\Halvren\\{pdl}\\{own} " },
        { "no name", L"", PRINTERS_KEY DRIVER_DATA, L"Software\\Halvren\\{pdl}\\" },
    };
    PcPrinters pc;
    std::wstring server = ServerName(L"hostile");
    HostSession host(library);
    ASSERT_TRUE(host.Connect(server));
    const Bytes missing = MakeMessage(CMD_GETPROPERTIES, Payload().Dword(0).Dword(0).bytes(), 1);
    for (const auto& row : hostile) {
        SCOPED_TRACE(row.what);
        Bytes reply = host.Request(PropertiesRequest(pc.Expand(row.printer), pc.Expand(row.hklm), pc.Expand(row.hkcu)));
        EXPECT_EQ(missing, reply);
        EXPECT_FALSE(Contains(reply, pc.marker));
    }

    // Honest requests, the name as listed and in another case, answer as they always have.
    const Bytes expected = MakeMessage(CMD_GETPROPERTIES, Payload()
        .Buf(pc.devmode)
        .Buf(BuildImage({ { L"", { { L"Copies", REG_DWORD, DwordData(3) } } } }))
        .Buf(BuildImage({ { L"", { { L"Duplex", REG_DWORD, DwordData(1) } } } }))
        .bytes(), 0);
    std::wstring upper = pc.own;
    CharUpperW(&upper[0]);
    for (const std::wstring& name : { pc.own, upper }) {
        SCOPED_TRACE(std::string(name.begin(), name.end()));
        EXPECT_EQ(expected, host.Request(PropertiesRequest(name, PRINTERS_KEY + name + DRIVER_DATA, pc.UserKey(name))));
    }
    EXPECT_EQ(0u, host.Finish());
    std::string log = ReadLogText(server);
    size_t refusals = 0;
    for (size_t at = 0; (at = log.find(",GetProperties,,refused,", at)) != std::string::npos; at++)
        refusals++;
    EXPECT_EQ(ARRAYSIZE(hostile), refusals) << "each refusal logged, nothing opened by a name not listed";
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
