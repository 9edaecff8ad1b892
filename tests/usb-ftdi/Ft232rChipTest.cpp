// The virtual FT232R against a scripted driver on a virtual clock: the baud
// divisor as the chip decodes it, which driver call each vendor request
// becomes, the requests it stalls, and the bulk IN packets with their
// status bytes, released when 62 bytes have gathered, when the latency timer
// runs out or when the event character comes.
#include "sim/usb-ftdi/Ft232rChip.h"
#include "sim/usb-ftdi/UsbAbi.h"

#include "tests/testsupport/ScriptedDriver.h"
#include "tests/testsupport/VirtualSystem.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <numeric>

using namespace vu;
using namespace vu::usbftdi;
using vu::test::Hex;
using vu::test::HexText;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

constexpr uint8_t OUT = 0x40, IN = 0xC0;

// The scripted driver, with the calls the chip makes beyond it: the latency
// timer and characters recorded, the receive wait on the virtual clock.
class ChipSide : public vu::test::ScriptedDriver {
public:
    explicit ChipSide(VirtualSystem& clock) : ScriptedDriver(clock), m_clock(clock) {}
    bool waitReceive = true;

    FT_STATUS SetLatencyTimer(FT_HANDLE, uint8_t ms) override
    {
        Note("SetLatencyTimer " + std::to_string(ms));
        return FT_OK;
    }
    FT_STATUS SetChars(FT_HANDLE, uint8_t eventChar, uint8_t eventEnabled, uint8_t errorChar,
                       uint8_t errorEnabled) override
    {
        char text[64];
        std::snprintf(text, sizeof text, "SetChars %02X %u %02X %u", eventChar, eventEnabled, errorChar, errorEnabled);
        Note(text);
        return FT_OK;
    }
    FT_STATUS WaitReceive(FT_HANDLE h, uint32_t ms, uint32_t* rxQueue) override
    {
        *rxQueue = 0;
        if (!waitReceive)
            return FT_NOT_SUPPORTED;
        ++waits;
        const uint64_t until = m_clock.NowUs() + uint64_t(ms) * 1000;
        for (;;) {
            uint32_t tx = 0, ev = 0;
            if (FT_STATUS st = GetStatus(h, rxQueue, &tx, &ev))
                return st;
            if (*rxQueue > 0 || m_clock.NowUs() >= until)
                return FT_OK;
            m_clock.Advance(100);
        }
    }
    int waits = 0;

private:
    VirtualSystem& m_clock;
};

class Ft232rChipTest : public ::testing::Test {
protected:
    Ft232rChipTest() { clock.SetTickStepUs(0); }

    void SetUp() override
    {
        ASSERT_EQ(chip.Attach(), USB_SUCCESS);
        side.ClearCalls();
    }

    int Out(uint8_t request, uint16_t value, uint16_t index = 1)
    {
        return chip.VendorRequest(OUT, request, value, index, nullptr, 0);
    }
    // One whole bulk IN transfer of `length` bytes, with the time it took.
    std::vector<uint8_t> In(int length = 4096, uint32_t* tookMs = nullptr)
    {
        Transfer x(length);
        const uint64_t start = clock.NowUs();
        EXPECT_EQ(Step(x, 60000), 1);
        if (tookMs)
            *tookMs = uint32_t((clock.NowUs() - start) / 1000);
        x.buffer.resize(size_t(x.t.actual));
        return x.buffer;
    }
    // A transfer of `length` bytes whose steps a test runs itself.
    struct Transfer {
        explicit Transfer(int length) : buffer(size_t(length))
        {
            t.buffer = buffer.data();
            t.length = length;
        }
        std::vector<uint8_t> buffer;
        InTransfer t;
    };
    int Step(Transfer& x, uint32_t forMs) { return chip.BulkInStep(x.t, clock.TickCount() + forMs); }

    static std::vector<uint8_t> Packet(const std::vector<uint8_t>& data)
    {
        std::vector<uint8_t> p{MODEM_STATUS, LINE_STATUS};
        p.insert(p.end(), data.begin(), data.end());
        return p;
    }
    static std::vector<uint8_t> Counting(size_t n, uint8_t first = 0)
    {
        std::vector<uint8_t> v(n);
        std::iota(v.begin(), v.end(), first);
        return v;
    }

    VirtualSystem clock;
    ChipSide side{clock};
    CFt232rChip chip{side, clock, "Vantorelle"};
};

// ---- the baud divisor ----

TEST(Ft232rBaudDivisor, DecodesAsTheChipDoes)
{
    struct Case {
        uint16_t value, index;
        uint32_t baud; // 0: the chip refuses it
    } cases[] = {
        {0x0000, 0, 3000000},             // divisor 0: 3 MBaud
        {0x0001, 0, 2000000},             // divisor 1: 2 MBaud, not 3 MHz / 1
        {0x0002, 0, 1500000},
        {26, 0, 115385},                  // what 115200 gets: 3 MHz / 26
        {0x4002, 0, 1200000},             // 2 + 1/2 (code 1)
        {0x8006, 0, 480000},              // 6 + 1/4 (code 2)
        {0xC006, 0, 489796},              // 6 + 1/8 (code 3), the application note's 490000 example
        {0x0006, 1, 470588},              // 6 + 3/8 (code 4)
        {0x4006, 1, 452830},              // 6 + 5/8 (code 5)
        {0x8006, 1, 444444},              // 6 + 3/4 (code 6)
        {0xC006, 1, 436364},              // 6 + 7/8 (code 7)
        {0x3FFF, 0, 183},                 // the slowest integer divisor
        {0xFFFF, 1, 183},                 // 16383 + 7/8
        {0x4001, 0, 0},                   // a fraction below 2 is not allowed
        {0xC000, 1, 0},
        {26, 2, 0},                       // wIndex holds one divisor bit on this chip
        {26, 0x0100, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.value << "/" << c.index);
        uint32_t baud = 0;
        EXPECT_EQ(DecodeFt232rBaud(c.value, c.index, &baud), c.baud != 0);
        if (c.baud) {
            EXPECT_EQ(baud, c.baud);
        }
    }
}

// ---- vendor requests: what reaches the machine's side ----

TEST_F(Ft232rChipTest, EachRequestBecomesTheCallOfWhatTheChipDoes)
{
    struct Case {
        const char* name;
        uint8_t request;
        uint16_t value, index;
        int result;
        std::vector<std::string> calls;
    } cases[] = {
        {"8N1 again: nothing changes", FTDI_SET_DATA, 0x0008, 1, USB_SUCCESS, {}},
        {"break on keeps the line", FTDI_SET_DATA, 0x4008, 1, USB_SUCCESS, {"SetBreakOn"}},
        {"break off", FTDI_SET_DATA, 0x0008, 1, USB_SUCCESS, {"SetBreakOff"}},
        {"7 bits, even parity, 2 stop bits", FTDI_SET_DATA, 0x1207, 1, USB_SUCCESS, {"SetDataCharacteristics 7 2 2"}},
        {"line and break at once", FTDI_SET_DATA, 0x4008, 1, USB_SUCCESS,
         {"SetDataCharacteristics 8 0 0", "SetBreakOn"}},
        {"break off at 8N1", FTDI_SET_DATA, 0x0008, 0, USB_SUCCESS, {"SetBreakOff"}},
        {"1.5 stop bits: not on this chip", FTDI_SET_DATA, 0x0808, 1, USB_ERROR_PIPE, {}},
        {"6 data bits", FTDI_SET_DATA, 0x0006, 1, USB_ERROR_PIPE, {}},
        {"parity 5", FTDI_SET_DATA, 0x0508, 1, USB_ERROR_PIPE, {}},
        {"115200 as libftdi encodes it", FTDI_SET_BAUD_RATE, 26, 0, USB_SUCCESS, {"SetBaudRate 115385"}},
        {"2000000", FTDI_SET_BAUD_RATE, 1, 0, USB_SUCCESS, {"SetBaudRate 2000000"}},
        {"a sub-integer divisor", FTDI_SET_BAUD_RATE, 0xC006, 0, USB_SUCCESS, {"SetBaudRate 489796"}},
        {"a divisor the chip refuses", FTDI_SET_BAUD_RATE, 0x4001, 0, USB_ERROR_PIPE, {}},
        {"CBUS0 high", FTDI_SET_BITMODE, 0x20F1, 1, USB_SUCCESS, {"SetBitMode F1 20"}},
        {"CBUS0 and CBUS2 high", FTDI_SET_BITMODE, 0x20F5, 1, USB_SUCCESS, {"SetBitMode F5 20"}},
        {"bit-bang off", FTDI_SET_BITMODE, 0x0000, 1, USB_SUCCESS, {"SetBitMode 00 00"}},
        {"MPSSE: another chip's", FTDI_SET_BITMODE, 0x02FF, 1, USB_ERROR_PIPE, {}},
        {"reset the port", FTDI_RESET, FTDI_RESET_SIO, 1, USB_SUCCESS, {"ResetDevice"}},
        {"purge what came from the machine", FTDI_RESET, FTDI_RESET_PURGE_RX, 1, USB_SUCCESS, {"Purge 1"}},
        {"purge what goes to the machine", FTDI_RESET, FTDI_RESET_PURGE_TX, 1, USB_SUCCESS, {"Purge 2"}},
        {"reset value 3", FTDI_RESET, 3, 1, USB_ERROR_PIPE, {}},
        {"latency 2 ms", FTDI_SET_LATENCY_TIMER, 2, 1, USB_SUCCESS, {"SetLatencyTimer 2"}},
        {"latency 1 ms", FTDI_SET_LATENCY_TIMER, 1, 1, USB_ERROR_PIPE, {}},
        {"event character LF", FTDI_SET_EVENT_CHAR, 0x010A, 1, USB_SUCCESS, {"SetChars 0A 1 00 0"}},
        {"error character", FTDI_SET_ERROR_CHAR, 0x01EE, 1, USB_SUCCESS, {"SetChars 0A 1 EE 1"}},
        {"DTR and RTS: no line of the link", FTDI_MODEM_CTRL, 0x0303, 1, USB_SUCCESS, {}},
        {"RTS/CTS flow control", FTDI_SET_FLOW_CTRL, 0, 0x0101, USB_SUCCESS, {}},
        {"flow control 3", FTDI_SET_FLOW_CTRL, 0, 0x0301, USB_ERROR_PIPE, {}},
        {"port B on a one-port chip", FTDI_SET_LATENCY_TIMER, 16, 2, USB_ERROR_PIPE, {}},
        {"EEPROM read as an OUT request", 0x90, 0, 0, USB_ERROR_PIPE, {}},
        {"modem status as an OUT request", FTDI_GET_MODEM_STATUS, 0, 1, USB_ERROR_PIPE, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        side.ClearCalls();
        EXPECT_EQ(Out(c.request, c.value, c.index), c.result);
        EXPECT_EQ(side.Calls(), c.calls);
    }
    EXPECT_EQ(chip.BaudRate(), 489796u);
    EXPECT_EQ(chip.LatencyMs(), 2);
}

TEST_F(Ft232rChipTest, InRequestsAnswerWithTheChipsState)
{
    uint8_t data[8] = {};
    EXPECT_EQ(chip.VendorRequest(IN, FTDI_GET_MODEM_STATUS, 0, 1, data, 2), 2);
    EXPECT_EQ(HexText(data, 2), "01 60");
    EXPECT_EQ(chip.VendorRequest(IN, FTDI_GET_LATENCY_TIMER, 0, 1, data, 1), 1);
    EXPECT_EQ(data[0], DEFAULT_LATENCY_MS);

    // CBUS bit-bang: the outputs read back their levels, the inputs read high.
    ASSERT_EQ(Out(FTDI_SET_BITMODE, 0x20F5), USB_SUCCESS);
    EXPECT_EQ(chip.VendorRequest(IN, FTDI_READ_PINS, 0, 1, data, 1), 1);
    EXPECT_EQ(data[0], 0x05);
    ASSERT_EQ(Out(FTDI_SET_BITMODE, 0x2010), USB_SUCCESS);
    EXPECT_EQ(chip.VendorRequest(IN, FTDI_READ_PINS, 0, 1, data, 1), 1);
    EXPECT_EQ(data[0], 0x0E);

    for (uint8_t request : std::vector<uint8_t>{FTDI_SET_BAUD_RATE, FTDI_SET_LATENCY_TIMER, 0x90})
        EXPECT_EQ(chip.VendorRequest(IN, request, 0, 1, data, 2), USB_ERROR_PIPE) << int(request);
    EXPECT_EQ(chip.VendorRequest(0xA0 /* class */, FTDI_GET_MODEM_STATUS, 0, 1, data, 2), USB_ERROR_PIPE);
    EXPECT_EQ(chip.VendorRequest(0xC1 /* interface */, FTDI_GET_MODEM_STATUS, 0, 1, data, 2), USB_ERROR_PIPE);
}

TEST_F(Ft232rChipTest, TheMachinesSideRefusingOrGoneIsAStallOrNoDevice)
{
    side.FailCall("SetBaudRate", FT_INVALID_PARAMETER);
    EXPECT_EQ(Out(FTDI_SET_BAUD_RATE, 26, 0), USB_ERROR_PIPE);
    EXPECT_EQ(chip.BaudRate(), 9600u) << "a refused rate is not the chip's";
    side.FailCall("ResetDevice", FT_IO_ERROR);
    EXPECT_EQ(Out(FTDI_RESET, FTDI_RESET_SIO), USB_ERROR_NO_DEVICE);

    CFt232rChip other(side, clock, "MOX");
    EXPECT_EQ(other.Attach(), USB_ERROR_BUSY) << "no free converter has the description";
    side.FailCall("OpenEx", FT_IO_ERROR);
    EXPECT_EQ(other.Attach(), USB_ERROR_NO_DEVICE);
}

// ---- bulk OUT ----

TEST_F(Ft232rChipTest, BulkOutCarriesTheBytesToTheMachineExceptInDataPinBitBang)
{
    const std::vector<uint8_t> frame = Hex("06 00 01 00 D1 D6");
    int n = 0;
    EXPECT_EQ(chip.BulkOut(frame.data(), 6, &n), USB_SUCCESS);
    EXPECT_EQ(n, 6);
    ASSERT_EQ(Out(FTDI_SET_BITMODE, 0x20F1), USB_SUCCESS); // CBUS: the UART goes on
    EXPECT_EQ(chip.BulkOut(frame.data(), 6, &n), USB_SUCCESS);
    ASSERT_EQ(Out(FTDI_SET_BITMODE, 0x01FF), USB_SUCCESS); // asynchronous bit-bang: the bytes are pin levels
    EXPECT_EQ(chip.BulkOut(frame.data(), 6, &n), USB_SUCCESS);
    EXPECT_EQ(n, 6);
    EXPECT_THAT(side.Writes(), ElementsAre(frame, frame));

    side.FailCall("Write", FT_IO_ERROR);
    ASSERT_EQ(Out(FTDI_SET_BITMODE, 0x0000), USB_SUCCESS);
    EXPECT_EQ(chip.BulkOut(frame.data(), 6, &n), USB_ERROR_NO_DEVICE);
    EXPECT_EQ(n, 0);
}

// ---- bulk IN: packets and when they go ----

TEST_F(Ft232rChipTest, WithNothingReceivedThePacketIsTheStatusBytesAfterTheLatencyTimer)
{
    uint32_t took = 0;
    EXPECT_EQ(In(4096, &took), Packet({}));
    EXPECT_EQ(took, DEFAULT_LATENCY_MS);

    ASSERT_EQ(Out(FTDI_SET_LATENCY_TIMER, 2), USB_SUCCESS);
    EXPECT_EQ(In(4096, &took), Packet({}));
    EXPECT_EQ(took, 2u);
}

TEST_F(Ft232rChipTest, ShortRepliesWaitForTheTimerFullPacketsGoAtOnce)
{
    struct Case {
        const char* name;
        size_t bytes;
        std::vector<size_t> packets; // data bytes per packet of one transfer
        uint32_t tookMs;
    } cases[] = {
        {"a two-byte reply", 2, {2}, 16},
        {"62 bytes: a full packet, then the status alone when the timer runs out", 62, {62, 0}, 16},
        {"100 bytes", 100, {62, 38}, 16},
        {"200 bytes", 200, {62, 62, 62, 14}, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        In(); // the timer starts afresh
        const std::vector<uint8_t> sent = Counting(c.bytes, 1);
        side.Queue(sent);
        uint32_t took = 0;
        std::vector<uint8_t> got = In(4096, &took);
        std::vector<uint8_t> expected;
        size_t at = 0;
        for (size_t n : c.packets) {
            std::vector<uint8_t> p = Packet(std::vector<uint8_t>(sent.begin() + at, sent.begin() + at + n));
            expected.insert(expected.end(), p.begin(), p.end());
            at += n;
        }
        EXPECT_EQ(HexText(got), HexText(expected));
        EXPECT_EQ(took, c.tookMs);
    }
}

TEST_F(Ft232rChipTest, TheEventCharacterReleasesThePacketAtOnce)
{
    ASSERT_EQ(Out(FTDI_SET_EVENT_CHAR, 0x0100 | 0xD6), USB_SUCCESS);
    In();
    side.Queue(Hex("06 00 01 00 D1 D6"));
    uint32_t took = 99;
    EXPECT_EQ(In(4096, &took), Packet(Hex("06 00 01 00 D1 D6")));
    EXPECT_EQ(took, 0u);

    // Disabled again, the same bytes wait for the timer.
    ASSERT_EQ(Out(FTDI_SET_EVENT_CHAR, 0xD6), USB_SUCCESS);
    side.Queue(Hex("D6"));
    EXPECT_EQ(In(4096, &took), Packet(Hex("D6")));
    EXPECT_EQ(took, DEFAULT_LATENCY_MS);
}

TEST_F(Ft232rChipTest, BytesArrivingWhileTheTimerRunsJoinThePacket)
{
    ASSERT_EQ(Out(FTDI_SET_LATENCY_TIMER, 10), USB_SUCCESS);
    In();
    side.Queue(vu::test::ScriptedDriver::Reply{{{0x11}, 3}, {{0x22, 0x33}, 4}, {{0x44}, 20}});
    uint32_t took = 0;
    EXPECT_EQ(In(4096, &took), Packet({0x11, 0x22, 0x33}));
    EXPECT_EQ(took, 10u);
    EXPECT_EQ(In(), Packet({})) << "the timer ran out before the next byte";
    EXPECT_EQ(In(4096, &took), Packet({0x44}));
    EXPECT_EQ(took, 10u);
}

TEST_F(Ft232rChipTest, ATransferEndsWhenItsBufferIsFullAndTheRestWaitsForTheNext)
{
    const std::vector<uint8_t> sent = Counting(150);
    side.Queue(sent);
    std::vector<uint8_t> first = In(128); // two packets' room
    ASSERT_EQ(first.size(), 128u);
    EXPECT_EQ(HexText(first.data() + 64, 2), "01 60");
    std::vector<uint8_t> rest = In();
    EXPECT_EQ(rest.size(), 2u + 26);
    EXPECT_EQ(rest.back(), 149);
}

TEST_F(Ft232rChipTest, APacketBiggerThanTheRoomLeftIsAnOverflow)
{
    side.Queue(Counting(20));
    Transfer x(10);
    EXPECT_EQ(Step(x, 1000), 1);
    EXPECT_TRUE(x.t.overflow);
    EXPECT_EQ(x.t.actual, 10);
}

TEST_F(Ft232rChipTest, TheChipHoldsNoMoreThanItsBufferTheRestStaysWithTheMachinesSide)
{
    side.Queue(Counting(600));
    Transfer x(64);
    ASSERT_EQ(Step(x, 1000), 1);
    EXPECT_LE(chip.Buffered(), RX_FIFO_SIZE);
    EXPECT_EQ(side.QueuedBytes() + chip.Buffered(), 600u - 62);
    EXPECT_THAT(side.CallsOf({"Read"}), ElementsAre("Read 256", "Read 62"));
}

TEST_F(Ft232rChipTest, AStepThatRunsOutOfTimeKeepsWhatItHas)
{
    side.Queue(Counting(70));
    Transfer x(4096);
    EXPECT_EQ(Step(x, 5), 0) << "the timer has 16 ms to run";
    EXPECT_EQ(x.t.actual, 64);
    EXPECT_EQ(Step(x, 60000), 1);
    EXPECT_EQ(x.t.actual, 64 + 10);
}

TEST_F(Ft232rChipTest, PurgingTheReceiveSideDropsWhatTheChipHolds)
{
    side.Queue(Counting(10));
    Transfer x(4096);
    ASSERT_EQ(Step(x, 1), 0);
    ASSERT_EQ(chip.Buffered(), 10u);
    EXPECT_EQ(Out(FTDI_RESET, FTDI_RESET_PURGE_RX), USB_SUCCESS);
    EXPECT_EQ(chip.Buffered(), 0u);
    EXPECT_EQ(In(), Packet({}));
}

TEST_F(Ft232rChipTest, WithoutTheReceiveWaitTheChipPollsAndReleasesTheSame)
{
    side.waitReceive = false;
    side.Queue(vu::test::ScriptedDriver::Reply{{{0x11, 0x22}, 5}});
    uint32_t took = 0;
    EXPECT_EQ(In(4096, &took), Packet({0x11, 0x22}));
    EXPECT_EQ(took, DEFAULT_LATENCY_MS);
    EXPECT_EQ(side.waits, 0);
}

TEST_F(Ft232rChipTest, AStalledChipSendsNothingUntilTheCallersLimit)
{
    side.Queue(Counting(10));
    chip.SetStalled(true);
    Transfer x(64);
    const uint64_t start = clock.NowUs();
    EXPECT_EQ(Step(x, 50), 0);
    EXPECT_EQ(clock.NowUs() - start, 50000u);
    EXPECT_EQ(x.t.actual, 0);
    chip.SetStalled(false);
    EXPECT_EQ(In(), Packet(Counting(10))) << "nothing was lost";
}

// ---- descriptors ----

TEST(Ft232rDescriptors, AreThoseOfAnFt232r)
{
    EXPECT_EQ(HexText(DeviceDescriptorBytes()), "12 01 00 02 00 00 00 08 03 04 01 60 00 06 01 02 03 01");
    std::vector<uint8_t> config = ConfigDescriptorBytes();
    ASSERT_EQ(config.size(), 32u);
    EXPECT_EQ(config[2], 32);
    EXPECT_EQ(HexText(std::vector<uint8_t>(config.begin() + 18, config.end())),
              "07 05 81 02 40 00 00 07 05 02 02 40 00 00");

    ChipStrings strings;
    strings.product = "Vantorelle";
    strings.serial = "VU000001";
    std::vector<uint8_t> s;
    ASSERT_TRUE(StringDescriptorBytes(strings, 0, &s));
    EXPECT_EQ(HexText(s), "04 03 09 04");
    ASSERT_TRUE(StringDescriptorBytes(strings, STRING_MANUFACTURER, &s));
    EXPECT_EQ(HexText(s), "0A 03 46 00 54 00 44 00 49 00");
    ASSERT_TRUE(StringDescriptorBytes(strings, STRING_PRODUCT, &s));
    EXPECT_EQ(s[0], 2 + 2 * 10);
    EXPECT_FALSE(StringDescriptorBytes(strings, 4, &s));

    strings.product = std::string(200, 'x') + "\xE9";
    ASSERT_TRUE(StringDescriptorBytes(strings, STRING_PRODUCT, &s));
    EXPECT_EQ(s[0], 2 + 2 * 126) << "a string descriptor's length is one byte";
    strings.product = "Caf\xE9";
    ASSERT_TRUE(StringDescriptorBytes(strings, STRING_PRODUCT, &s));
    EXPECT_EQ(HexText(s), "0A 03 43 00 61 00 66 00 E9 00");
}

} // namespace
