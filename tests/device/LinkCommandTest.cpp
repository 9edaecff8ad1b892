// The machine's commands over the scripted driver: request bytes, reply
// judgement, limits, pin sequences and tracing.
#include "tests/device/LinkTestFixture.h"

#include <cstring>
#include <functional>

namespace vu::test {
namespace {

using CommandTest = LinkTest;

// The payload of the single frame a command wrote.
std::vector<uint8_t> PayloadOf(const std::vector<uint8_t>& frame)
{
    if (frame.size() < 5)
        return {};
    return std::vector<uint8_t>(frame.begin() + 4, frame.end() - 1);
}

const uint8_t kChunk[4] = {0xDE, 0xAD, 0xBE, 0xEF};
const uint8_t kValue[5] = {0x01, 0x02, 0x03, 0x04, 0x05};

struct Command {
    const char* name;
    std::function<int(CMachineLink&)> run;
    const char* request;
};

const Command kFramedCommands[] = {
    {"ReadInfoItem", [](CMachineLink& l) { uint8_t t[255]; return l.ReadInfoItem(6, t); }, "A1 06"},
    {"WriteInfoItem", [](CMachineLink& l) { return l.WriteInfoItem(kValue); }, "A0 06 02 01 02 03 04 05"},
    {"BeginFirmwareWrite", [](CMachineLink& l) { return l.BeginFirmwareWrite(); }, "A5 00 00 00 00 01 00 00 00"},
    {"PrepareFirmwareWrite", [](CMachineLink& l) { return l.PrepareFirmwareWrite(); }, "AB"},
    {"WriteFirmwareChunk", [](CMachineLink& l) { return l.WriteFirmwareChunk(kChunk, 4); }, "A4 DE AD BE EF"},
    {"EndFirmwareWrite", [](CMachineLink& l) { return l.EndFirmwareWrite(); }, "A6"},
    {"BeginDataWrite", [](CMachineLink& l) { return l.BeginDataWrite(); }, "D7"},
    {"EndDataWrite", [](CMachineLink& l) { return l.EndDataWrite(); }, "DB"},
};

TEST_F(CommandTest, FramedCommandsSendTheirRequest)
{
    auto link = OpenLink();
    for (const Command& c : kFramedCommands) {
        SCOPED_TRACE(c.name);
        driver.ClearCalls();
        driver.AnswerNextWrite(MakeFrame({Hex(c.request)[0], 0x00, 0x00}));
        c.run(*link);
        ASSERT_EQ(driver.Writes().size(), 1u);
        EXPECT_EQ(HexText(PayloadOf(driver.Writes()[0])), c.request);
    }
}

TEST_F(CommandTest, RepliesAreJudgedByLengthCodeAndStatus)
{
    struct Case {
        const char* command;
        const char* reply; // payload; nullptr: no answer
        int result;
    };
    const Case cases[] = {
        // The firmware commands and A0 take exactly two bytes.
        {"WriteInfoItem", "A0 00", 0},
        {"WriteInfoItem", "A0 00 00", 7},
        {"WriteInfoItem", "A0 01", 7},
        {"BeginFirmwareWrite", "A5 00", 0},
        {"BeginFirmwareWrite", "A4 00", 7},
        {"PrepareFirmwareWrite", "AB 00", 0},
        {"PrepareFirmwareWrite", "AB", 7},
        {"WriteFirmwareChunk", "A4 00", 0},
        {"WriteFirmwareChunk", "A4 00 00", 7},
        {"WriteFirmwareChunk", "A4 02", 7},
        {"WriteFirmwareChunk", nullptr, 7},
        {"EndFirmwareWrite", "A6 00", 0},
        {"EndFirmwareWrite", "A6 FF", 7},
        // The data commands take two bytes or more.
        {"BeginDataWrite", "D7 00", 0},
        {"BeginDataWrite", "D7 00 12 34", 0},
        {"BeginDataWrite", "D7", 7},
        {"BeginDataWrite", "D7 05", 7},
        {"EndDataWrite", "DB 00 00", 0},
        {"EndDataWrite", "D8 00", 7},
        {"EndDataWrite", nullptr, 7},
        // Items: the machine's own status comes back as the result.
        {"ReadInfoItem", "A1 00 31 2E 32", 0},
        {"ReadInfoItem", "A1 05 2A", 5},
        {"ReadInfoItem", "A1 00", 7},
        {"ReadInfoItem", "A0 00 31", 7},
        {"ReadInfoItem", nullptr, 7},
    };
    auto link = OpenLink();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.command) + " answered " + (c.reply ? c.reply : "nothing"));
        const Command* command = nullptr;
        for (const Command& k : kFramedCommands)
            if (std::string(k.name) == c.command)
                command = &k;
        ASSERT_NE(command, nullptr);
        driver.AnswerNextWrite(c.reply ? ScriptedDriver::Reply{{MakeFrame(Hex(c.reply)), 0}} : ScriptedDriver::Reply{});
        EXPECT_EQ(command->run(*link), c.result);
    }
}

TEST_F(CommandTest, DataSectorsAcceptLongerRepliesWhereFirmwareChunksDoNot)
{
    auto link = OpenLink();
    uint8_t data[16] = {};
    driver.AnswerNextWrite(MakeFrame(Hex("A4 00 00")));
    EXPECT_EQ(link->WriteFirmwareChunk(data, 16), LINK_E_PROTOCOL);
    driver.AnswerNextWrite(MakeFrame(Hex("D8 00 00")));
    EXPECT_EQ(link->WriteDataSectors(0, data, 16), LINK_OK);
    driver.AnswerNextWrite(MakeFrame(Hex("D8 03")));
    EXPECT_EQ(link->WriteDataSectors(0, data, 16), LINK_E_PROTOCOL);
}

TEST_F(CommandTest, ReadInfoItemFillsTheTextAndBoundsIt)
{
    auto link = OpenLink();
    uint8_t text[255 + 8];
    std::memset(text, 0xEE, sizeof text);
    driver.AnswerNextWrite(MakeFrame(Hex("A1 00 31 2E 32")));
    EXPECT_EQ(link->ReadInfoItem(1, text), 0);
    EXPECT_EQ(HexText(text, 5), "31 2E 32 00 EE");

    // A text of 300 bytes is cut to 254 and closed within the 255-byte buffer.
    std::vector<uint8_t> longText(302, 'x');
    longText[0] = 0xA1;
    longText[1] = 0x00;
    std::memset(text, 0xEE, sizeof text);
    driver.AnswerNextWrite(MakeFrame(longText));
    EXPECT_EQ(link->ReadInfoItem(1, text), 0);
    EXPECT_EQ(text[253], 'x');
    EXPECT_EQ(text[254], 0);
    EXPECT_EQ(text[255], 0xEE);
}

TEST_F(CommandTest, CountsOverTheLimitAreRefusedUnsent)
{
    auto link = OpenLink();
    std::vector<uint8_t> data(1125, 0x11);
    EXPECT_EQ(link->WriteFirmwareChunk(data.data(), 1025), LINK_E_PROTOCOL);
    EXPECT_EQ(link->WriteFirmwareChunk(data.data(), -1), LINK_E_PROTOCOL);
    EXPECT_EQ(link->WriteDataSectors(4096, data.data(), 1125), LINK_E_PROTOCOL);
    EXPECT_EQ(link->WriteDataSectors(-512, data.data(), 16), LINK_E_PROTOCOL);
    EXPECT_TRUE(driver.Calls().empty());
    EXPECT_TRUE(link->m_bLogTraffic);
}

TEST_F(CommandTest, CommandsOnAClosedLinkTouchNoDriver)
{
    CMachineLink link(driver, clock);
    std::vector<std::function<int()>> commands = {
        [&] { return link.EnterBios(); },
        [&] { return link.ResetMachine(); },
        [&] { uint8_t d[4] = {}; return link.WriteDataSectors(0, d, 4); },
    };
    for (const Command& c : kFramedCommands)
        commands.push_back([&] { return c.run(link); });
    for (size_t i = 0; i < commands.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(commands[i](), LINK_E_NOT_OPEN);
    }
    EXPECT_TRUE(driver.Calls().empty());
    EXPECT_EQ(clock.SleptMs(), 0u);
}

TEST_F(CommandTest, WriteDataSectorsLaysOutWholeSectors)
{
    struct Case {
        int address;
        int count;
        const char* header;
        size_t payload;
    };
    const Case cases[] = {
        {4096, 1000, "D8 08 00 00 00 02 00 00 00", 9 + 1024},
        {4096, 1124, "D8 08 00 00 00 03 00 00 00", 1545},
        {4096, 1024, "D8 08 00 00 00 02 00 00 00", 9 + 1024},
        {1000, 512, "D8 01 00 00 00 01 00 00 00", 9 + 512},
        {0x12345600, 1, "D8 2B 1A 09 00 01 00 00 00", 9 + 512},
    };
    auto link = OpenLink();
    std::vector<uint8_t> data(1124);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 3 + 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        driver.ClearCalls();
        driver.AnswerNextWrite(MakeFrame(Hex("D8 00")));
        EXPECT_EQ(link->WriteDataSectors(c.address, data.data(), c.count), 0);
        ASSERT_EQ(driver.Writes().size(), 1u);
        std::vector<uint8_t> payload = PayloadOf(driver.Writes()[0]);
        ASSERT_EQ(payload.size(), c.payload);
        EXPECT_EQ(HexText(payload.data(), 9), c.header);
        EXPECT_TRUE(std::equal(data.begin(), data.begin() + c.count, payload.begin() + 9));
        EXPECT_TRUE(std::all_of(payload.begin() + 9 + c.count, payload.end(), [](uint8_t b) { return b == 0; }));
    }
}

TEST_F(CommandTest, WriteDataSectorsIsNotTracedButWhatFollowsIs)
{
    auto link = OpenLink();
    uint8_t data[600] = {};
    driver.AnswerNextWrite(MakeFrame(Hex("D8 00")));
    EXPECT_EQ(link->WriteDataSectors(0, data, 600), 0);
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_TRUE(link->m_bLogTraffic);

    // Also after a refused write, and after a missing reply.
    driver.AnswerNextWrite(MakeFrame(Hex("D8 01")));
    EXPECT_EQ(link->WriteDataSectors(0, data, 600), LINK_E_PROTOCOL);
    EXPECT_EQ(link->WriteDataSectors(0, data, 600), LINK_E_PROTOCOL);
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_TRUE(link->m_bLogTraffic);

    driver.AnswerNextWrite(MakeFrame(Hex("DB 00")));
    EXPECT_EQ(link->EndDataWrite(), 0);
    EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{L"> :  06 00 01 00 DB DC", L"< :  07 00 02 00 DB 00 DE"}));
}

TEST_F(CommandTest, SetBaudRateSwitchesThroughTheMachineOnlyForOtherRates)
{
    auto link = OpenLink();
    driver.AnswerNextWrite(MakeFrame(Hex("AE 00")));
    EXPECT_EQ(link->SetBaudRate(2000000), 0);
    EXPECT_EQ(driver.CallsOf({"SetBaudRate", "Write"}),
              (std::vector<std::string>{"SetBaudRate 115200", "Write 0A 00 05 00 AE 80 84 1E 00 BB",
                                        "SetBaudRate 2000000"}));
    EXPECT_EQ(driver.BaudRate(), 2000000u);

    driver.ClearCalls();
    EXPECT_EQ(link->SetBaudRate(115200), 0);
    EXPECT_EQ(driver.Calls(), (std::vector<std::string>{"SetBaudRate 115200", "SetBaudRate 115200"}));

    // An unanswered switch is not judged: the rate is still set.
    driver.ClearCalls();
    EXPECT_EQ(link->SetBaudRate(2000000), 0);
    EXPECT_EQ(driver.BaudRate(), 2000000u);
}

const std::vector<std::string> kBiosSequence = {
    "ResetDevice", "SetBitMode F1 20", "SetBitMode F5 20", "SetBreakOn", "Sleep 100", "SetBitMode F1 20",
    "Sleep 100",   "SetBreakOff",      "Sleep 100",        "Purge 1",    "SetBaudRate 115200",
};

TEST_F(CommandTest, EnterBiosPulsesCbus2UnderBreakThenSwitchesSpeed)
{
    auto link = OpenLink();
    EXPECT_EQ(link->EnterBios(), 0);
    std::vector<std::string> expected = kBiosSequence;
    expected.push_back("SetBaudRate 115200");
    EXPECT_EQ(driver.Calls(), expected);

    auto fast = std::make_unique<CMachineLink>(driver, clock, LINK_HIGH_BAUD);
    link->Close();
    ASSERT_EQ(fast->Open(), 0);
    driver.ClearCalls();
    driver.AnswerNextWrite(MakeFrame(Hex("AE 00")));
    EXPECT_EQ(fast->EnterBios(), 0);
    expected = kBiosSequence;
    expected.push_back("Write 0A 00 05 00 AE 80 84 1E 00 BB");
    expected.push_back("SetBaudRate 2000000");
    EXPECT_EQ(driver.CallsOf({"ResetDevice", "SetBitMode", "SetBreakOn", "SetBreakOff", "Sleep", "Purge",
                              "SetBaudRate", "Write"}),
              expected);
}

TEST_F(CommandTest, PinSequencesSkipOnlyTheBitModeStepsAfterADriverFailure)
{
    struct Case {
        const char* name;
        const char* failing;
        int after;
        bool bios;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {"bios, reset fails", "ResetDevice", 0, true,
         {"ResetDevice", "SetBreakOn", "Sleep 100", "Sleep 100", "SetBreakOff", "Sleep 100", "Purge 1",
          "SetBaudRate 115200", "SetBaudRate 115200"}},
        {"bios, second bit mode fails", "SetBitMode", 1, true,
         {"ResetDevice", "SetBitMode F1 20", "SetBitMode F5 20", "SetBreakOn", "Sleep 100", "Sleep 100",
          "SetBreakOff", "Sleep 100", "Purge 1", "SetBaudRate 115200", "SetBaudRate 115200"}},
        {"reset, healthy", nullptr, 0, false,
         {"ResetDevice", "SetBitMode F1 20", "SetBitMode F5 20", "Sleep 100", "SetBitMode F1 20", "Sleep 100",
          "Purge 1"}},
        {"reset, reset fails", "ResetDevice", 0, false, {"ResetDevice", "Sleep 100", "Sleep 100", "Purge 1"}},
        {"reset, first bit mode fails", "SetBitMode", 0, false,
         {"ResetDevice", "SetBitMode F1 20", "Sleep 100", "Sleep 100", "Purge 1"}},
    };
    auto link = OpenLink();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        driver.ClearCalls();
        if (c.failing)
            driver.FailCall(c.failing, FT_IO_ERROR, 1, c.after);
        EXPECT_EQ(c.bios ? link->EnterBios() : link->ResetMachine(), 0);
        EXPECT_EQ(driver.Calls(), c.calls);
    }
}

TEST_F(CommandTest, GetDeviceIdAndInfoTakeTheirFixedFramesReplies)
{
    struct Case {
        const char* name;
        bool info;
        std::vector<uint8_t> reply; // payload; empty: no answer
        bool writeFails;
        int result;
    };
    std::vector<uint8_t> id = Hex("D1 00 11 22 33 44 55 66 77 88");
    std::vector<uint8_t> info{0xBE, 0x00};
    for (int b = 2; b < 60; ++b)
        info.push_back(uint8_t(b));
    const Case cases[] = {
        {"id", false, id, false, 0},
        {"id with more", false, Join({id, Hex("99")}), false, 0},
        {"id short", false, Hex("D1 00 11 22 33 44 55 66"), false, 7},
        {"id refused", false, Hex("D1 01 11 22 33 44 55 66 77 88"), false, 7},
        {"id foreign", false, Hex("BE 00 11 22 33 44 55 66 77 88"), false, 7},
        {"id silent", false, {}, false, 7},
        {"id write fails", false, id, true, 7},
        {"info 60", true, info, false, 0},
        {"info 50", true, std::vector<uint8_t>(info.begin(), info.begin() + 50), false, 0},
        {"info 49", true, std::vector<uint8_t>(info.begin(), info.begin() + 49), false, 7},
    };
    auto link = OpenLink();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        driver.ClearCalls();
        if (c.writeFails)
            driver.FailCall("Write", FT_IO_ERROR);
        else if (!c.reply.empty())
            driver.AnswerNextWrite(MakeFrame(c.reply));
        uint8_t dest[54 + 4];
        std::memset(dest, 0xEE, sizeof dest);
        int st = c.info ? link->GetDeviceInfo(dest) : link->GetDeviceId(dest);
        EXPECT_EQ(st, c.result);
        ASSERT_GE(driver.Calls().size(), 1u);
        EXPECT_EQ(driver.Calls()[0], c.info ? "Write 06 00 01 00 BE B9" : "Write 06 00 01 00 D1 D6");
        if (c.writeFails) {
            EXPECT_EQ(driver.Calls().size(), 1u) << "no read after a failed write";
        }
        if (c.result != 0)
            continue;
        if (c.info) {
            std::vector<uint8_t> expected = Join({Hex("3B 00 32 00"), std::vector<uint8_t>(info.begin(), info.begin() + 50)});
            EXPECT_EQ(Bytes(dest, 54), expected);
            EXPECT_EQ(dest[54], 0xEE);
        } else {
            EXPECT_EQ(HexText(dest, 9), "11 22 33 44 55 66 77 88 EE");
        }
    }
}

TEST_F(CommandTest, CommandTrafficIsLoggedBothWays)
{
    auto link = OpenLink();
    driver.AnswerNextWrite({{Hex("08 00 03 00"), 0}, {Hex("A1 05 2A 85"), 10}});
    uint8_t text[255];
    EXPECT_EQ(link->ReadInfoItem(6, text), 5);
    EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{L"> :  07 00 02 00 A1 06 A2", L"< :  08 00 03 00",
                                                      L"< :  A1 05 2A 85"}));
}

} // namespace
} // namespace vu::test
