// Frames: layout and check byte of plain and card-flagged frames, gathering one
// reply, and the card channel's stream of replies.
#include "tests/device/LinkTestFixture.h"

#include <cstring>

namespace vu::test {
namespace {

using FrameTest = LinkTest;

uint8_t XorOf(const std::vector<uint8_t>& bytes, size_t count)
{
    uint8_t x = 0;
    for (size_t i = 0; i < count; ++i)
        x ^= bytes[i];
    return x;
}

TEST_F(FrameTest, SentFramesAreLaidOutWithTheirCheckByte)
{
    struct Case {
        const char* payload;
        bool card;
        const char* frame;
    };
    const Case cases[] = {
        {"D1", false, "06 00 01 00 D1 D6"},
        {"BE", false, "06 00 01 00 BE B9"},
        {"B3 00 00 00 00 FF 00 00 00", true, "0E 80 09 00 B3 00 00 00 00 FF 00 00 00 CB"},
        {"B0 00 00 00 00 03 00 00 00", true, "0E 80 09 00 B0 00 00 00 00 03 00 00 00 34"},
        {"", false, "05 00 00 00 05"},
    };
    auto link = OpenLink();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.frame);
        driver.ClearCalls();
        std::vector<uint8_t> payload = Hex(c.payload);
        int st = c.card ? link->SendCardFrame(payload.data(), int(payload.size()))
                        : link->SendFrame(payload.data(), int(payload.size()));
        EXPECT_EQ(st, 0);
        ASSERT_EQ(driver.Writes().size(), 1u);
        EXPECT_EQ(HexText(driver.Writes()[0]), c.frame);
    }
    // The short card frame's check byte is the exclusive-or of everything before it.
    std::vector<uint8_t> card = Hex(cases[2].frame);
    EXPECT_EQ(XorOf(card, card.size() - 1), card.back());
}

TEST_F(FrameTest, LongCardFrameFlagsTheHighLengthByteAndFoldsItIntoTheCheck)
{
    auto link = OpenLink();
    std::vector<uint8_t> payload(251);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = uint8_t(0xB2 + i * 7);
    EXPECT_EQ(link->SendCardFrame(payload.data(), 251), 0);
    ASSERT_EQ(driver.Writes().size(), 1u);
    std::vector<uint8_t> frame = driver.Writes()[0];
    ASSERT_EQ(frame.size(), 256u);
    EXPECT_EQ(frame[0], 0x00);
    EXPECT_EQ(frame[1], 0x81);
    EXPECT_EQ(frame[2], 251);
    EXPECT_EQ(frame[3], 0x00);
    EXPECT_EQ(frame.back(), uint8_t(XorOf(frame, 255) ^ 0x01));
}

TEST_F(FrameTest, OversizedPayloadIsRefusedUnsent)
{
    auto link = OpenLink();
    std::vector<uint8_t> payload(4991, 0x11);
    EXPECT_EQ(link->SendFrame(payload.data(), 4991), LINK_E_PROTOCOL);
    EXPECT_EQ(link->SendCardFrame(payload.data(), 4991), LINK_E_PROTOCOL);
    EXPECT_EQ(link->SendFrame(payload.data(), -1), LINK_E_PROTOCOL);
    EXPECT_TRUE(driver.Writes().empty());
    EXPECT_EQ(link->SendFrame(payload.data(), 4990), 0);
    ASSERT_EQ(driver.Writes().size(), 1u);
    EXPECT_EQ(driver.Writes()[0].size(), 4995u);
}

TEST_F(FrameTest, FailedWriteStatusIsReturned)
{
    auto link = OpenLink();
    driver.FailCall("Write", FT_IO_ERROR, 2);
    const uint8_t d1 = 0xD1;
    EXPECT_EQ(link->SendFrame(&d1, 1), int(FT_IO_ERROR));
    EXPECT_EQ(link->SendCardFrame(&d1, 1), int(FT_IO_ERROR));
}

struct ReplyCase {
    const char* name;
    ScriptedDriver::Reply reply;
    int result;
    const char* payload;   // expected on success
    uint32_t minMs, maxMs; // time the call takes
};

TEST_F(FrameTest, ReceiveFrameGathersOneReply)
{
    std::vector<uint8_t> a4 = Hex("07 00 02 00 A4 00 A1");
    std::vector<uint8_t> trickle;
    const ReplyCase cases[] = {
        {"complete", {{a4, 0}}, 0, "A4 00", 0, 50},
        {"any check byte", {{Hex("07 00 02 00 A4 00 FF"), 0}}, 0, "A4 00", 0, 50},
        {"split in two", {{Hex("07 00 02"), 0}, {Hex("00 A4 00 A1"), 3000}}, 0, "A4 00", 3000, 3100},
        {"trickled, 15 s between bytes",
         {{{0x07}, 0}, {{0x00}, 15000}, {{0x02}, 15000}, {{0x00}, 15000}, {{0xA4}, 15000}, {{0x00}, 15000},
          {{0xA1}, 15000}},
         0, "A4 00", 90000, 90200},
        {"surplus after the payload inside L", {{Hex("09 00 02 00 A4 00 EE EE 00"), 0}}, 0, "A4 00", 0, 50},
        {"two frames in one read", {{Join({a4, a4}), 0}}, LINK_E_TIMEOUT, "", 20000, 22100},
        {"N beyond L - 5", {{Hex("06 00 09 00 A4 00"), 0}}, LINK_E_PROTOCOL, "", 0, 50},
        {"L below 5", {{Hex("04 00 00 00"), 0}}, LINK_E_PROTOCOL, "", 0, 50},
        {"L of 0 never completes", {{Hex("00 00 02 00 A4 00 A1"), 0}}, LINK_E_TIMEOUT, "", 20000, 22100},
        {"nothing at all", {}, LINK_E_TIMEOUT, "", 20000, 27600},
    };
    auto link = OpenLink();
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(c.name);
        driver.Queue(c.reply);
        uint8_t dest[LINK_BUFFER_SIZE] = {};
        uint32_t length = 77;
        uint32_t start = clock.NowMs();
        EXPECT_EQ(link->ReceiveFrame(dest, &length), c.result);
        EXPECT_GE(ElapsedMs(start), c.minMs);
        EXPECT_LE(ElapsedMs(start), c.maxMs);
        if (c.result == 0)
            EXPECT_EQ(HexText(dest, length), c.payload);
        else
            EXPECT_EQ(length, 0u);
        // Nothing of a case may be left for the next one.
        while (driver.QueuedBytes() > 0) {
            uint8_t sink[LINK_BUFFER_SIZE];
            uint32_t n = 0;
            link->ReadRaw(sink, &n, 1);
        }
    }
}

TEST_F(FrameTest, ReceiveFrameOutlastsADriverErrorMidway)
{
    auto link = OpenLink();
    uint8_t dest[LINK_BUFFER_SIZE] = {};
    uint32_t length = 0;

    // The error clears and the rest of the reply still arrives.
    driver.Queue({{Hex("07 00 02"), 0}, {Hex("00 A4 00 A1"), 100}});
    driver.FailCall("Read", FT_IO_ERROR, 3, 1);
    EXPECT_EQ(link->ReceiveFrame(dest, &length), 0);
    EXPECT_EQ(HexText(dest, length), "A4 00");

    // The error persists: the call ends by the quiet limit with the driver's status.
    driver.Queue({{Hex("07 00 02"), 0}, {Hex("00 A4 00 A1"), 100}});
    driver.FailCall("Read", FT_IO_ERROR, -1, 1);
    uint32_t start = clock.NowMs();
    EXPECT_EQ(link->ReceiveFrame(dest, &length), int(FT_IO_ERROR));
    EXPECT_GE(ElapsedMs(start), 20000u);
    EXPECT_LT(ElapsedMs(start), 20200u);
}

TEST_F(FrameTest, ReceiveFrameKeepsToItsBuffers)
{
    auto link = OpenLink();
    // A payload longer than the destination is refused, nothing copied past it.
    {
        std::vector<uint8_t> payload(1001, 0x42);
        driver.Queue(MakeFrame(payload));
        std::vector<uint8_t> dest(1000 + 16, 0xEE);
        uint32_t length = 0;
        EXPECT_EQ(link->ReceiveFrame(dest.data(), &length, 1000), LINK_E_PROTOCOL);
        EXPECT_EQ(length, 0u);
        EXPECT_EQ(dest[0], 0xEE);
        EXPECT_EQ(dest[1000], 0xEE);
    }
    // Exactly the destination's size fits.
    {
        std::vector<uint8_t> payload(1000, 0x42);
        driver.Queue(MakeFrame(payload));
        std::vector<uint8_t> dest(1000 + 16, 0xEE);
        uint32_t length = 0;
        EXPECT_EQ(link->ReceiveFrame(dest.data(), &length, 1000), 0);
        EXPECT_EQ(length, 1000u);
        EXPECT_EQ(dest[999], 0x42);
        EXPECT_EQ(dest[1000], 0xEE);
    }
    // A frame claiming more than 5000 bytes, and a flood of them: no overrun, and the
    // flood stops counting as activity once the reply cannot complete.
    {
        std::vector<uint8_t> huge(7000, 0x33);
        huge[0] = 0x58; // L = 7000
        huge[1] = 0x1B;
        ScriptedDriver::Reply flood{{huge, 0}};
        for (int i = 0; i < 10; ++i)
            flood.push_back({std::vector<uint8_t>(3000, 0x44), 15000});
        driver.Queue(flood);
        uint8_t dest[LINK_BUFFER_SIZE];
        uint32_t length = 0;
        uint32_t start = clock.NowMs();
        EXPECT_EQ(link->ReceiveFrame(dest, &length), LINK_E_TIMEOUT);
        EXPECT_EQ(length, 0u);
        EXPECT_LT(ElapsedMs(start), 27000u);
    }
}

TEST_F(FrameTest, ReceiveCardFrameTakesFramesOneByOneFromTheStream)
{
    auto link = OpenLink();
    std::vector<uint8_t> first = MakeFrame(Hex("B3 00 11 22"));
    std::vector<uint8_t> second = MakeFrame(Hex("B2 00"));
    driver.Queue(Join({first, second}));
    uint8_t dest[255] = {};
    uint32_t length = 0;
    EXPECT_EQ(link->ReceiveCardFrame(dest, &length, sizeof dest), 0);
    EXPECT_EQ(HexText(dest, length), "B3 00 11 22");
    EXPECT_EQ(link->m_nCardRxLen, second.size());
    size_t reads = driver.CountOf("Read");
    EXPECT_EQ(link->ReceiveCardFrame(dest, &length, sizeof dest), 0);
    EXPECT_EQ(HexText(dest, length), "B2 00");
    EXPECT_EQ(driver.CountOf("Read"), reads) << "the second frame came from the buffer";
    EXPECT_EQ(link->m_nCardRxLen, 0u);
}

TEST_F(FrameTest, ReceiveCardFrameGathersAcrossReadsAndCalls)
{
    auto link = OpenLink();
    uint8_t dest[255] = {};
    uint32_t length = 0;
    // Half a frame within the limit: 9, and the half waits for the next call.
    driver.Queue({{Hex("08 00 03 00"), 0}, {Hex("B3 00 7E 4E"), 3000}});
    uint32_t start = clock.NowMs();
    EXPECT_EQ(link->ReceiveCardFrame(dest, &length, sizeof dest), LINK_E_TIMEOUT);
    EXPECT_GE(ElapsedMs(start), 2000u);
    EXPECT_LT(ElapsedMs(start), 4100u);
    EXPECT_EQ(link->m_nCardRxLen, 4u);
    EXPECT_EQ(link->ReceiveCardFrame(dest, &length, sizeof dest), 0);
    EXPECT_EQ(HexText(dest, length), "B3 00 7E");
}

TEST_F(FrameTest, ReceiveCardFrameWithZeroLengthLeavesItAtTheFront)
{
    auto link = OpenLink();
    driver.Queue(Join({Hex("00 00 03 00 B3 00 7E"), MakeFrame(Hex("B3 00"))}));
    uint8_t dest[255] = {};
    uint32_t length = 5;
    for (int call = 0; call < 2; ++call) {
        SCOPED_TRACE(call);
        EXPECT_EQ(link->ReceiveCardFrame(dest, &length, sizeof dest), LINK_E_TIMEOUT);
        EXPECT_EQ(length, 0u);
        EXPECT_EQ(link->m_cardRx[0], 0);
        EXPECT_EQ(link->m_cardRx[1], 0);
        EXPECT_EQ(link->m_nCardRxLen, 14u);
    }
}

TEST_F(FrameTest, ReceiveCardFrameDropsWhatCannotBeDelivered)
{
    auto link = OpenLink();
    uint8_t dest[16];
    uint32_t length = 0;
    // A payload too long for the destination: that frame fails, the next one is served.
    driver.Queue(Join({MakeFrame(std::vector<uint8_t>(17, 0xB3)), MakeFrame(Hex("B3 00"))}));
    EXPECT_EQ(link->ReceiveCardFrame(dest, &length, sizeof dest), LINK_E_TIMEOUT);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(link->ReceiveCardFrame(dest, &length, sizeof dest), 0);
    EXPECT_EQ(HexText(dest, length), "B3 00");

    // A payload length beyond its frame fails and leaves the stream behind it intact.
    driver.Queue(Join({Hex("06 00 40 00 B3 00"), MakeFrame(Hex("B2 00"))}));
    EXPECT_EQ(link->ReceiveCardFrame(dest, &length, sizeof dest), LINK_E_TIMEOUT);
    EXPECT_EQ(link->ReceiveCardFrame(dest, &length, sizeof dest), 0);
    EXPECT_EQ(HexText(dest, length), "B2 00");

    // A frame longer than the whole stream buffer, arriving as a flood.
    std::vector<uint8_t> flood(6000, 0x55);
    flood[0] = 0x70; // L = 6000
    flood[1] = 0x17;
    driver.Queue({{flood, 0}, {std::vector<uint8_t>(3000, 0x66), 10}});
    EXPECT_EQ(link->ReceiveCardFrame(dest, &length, sizeof dest), LINK_E_TIMEOUT);
    EXPECT_LE(link->m_nCardRxLen, LINK_BUFFER_SIZE);
    // The rest of the flood is dropped the same way, and the channel serves frames again.
    while (driver.QueuedBytes() > 0)
        EXPECT_EQ(link->ReceiveCardFrame(dest, &length, sizeof dest), LINK_E_TIMEOUT);
    EXPECT_EQ(link->m_nCardRxLen, 0u);
    driver.Queue(MakeFrame(Hex("B3 00 01")));
    EXPECT_EQ(link->ReceiveCardFrame(dest, &length, sizeof dest), 0);
    EXPECT_EQ(HexText(dest, length), "B3 00 01");
}

} // namespace
} // namespace vu::test
