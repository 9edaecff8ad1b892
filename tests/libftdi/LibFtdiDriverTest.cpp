// The libftdi1 back end against a stand-in for the library: which libftdi
// calls each driver call makes, with which arguments, what the converter is
// left doing, and how libftdi's failures come back.
#include "device/posix/LibFtdiDriver.h"
#include "log/Format.h"
#include "tests/libftdi/FakeLibFtdi.h"
#include "tests/testsupport/TestSupport.h"
#include "tests/testsupport/VirtualSystem.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <numeric>

using namespace vu;
using vu::test::FakeBus;
using vu::test::FakeConverter;
using vu::test::FakeLibFtdi;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class LibFtdiDriverTest : public ::testing::Test {
protected:
    void SetUp() override { bus.clock = &clock; }
    void TearDown() override
    {
        driver.reset();
        EXPECT_EQ(bus.liveContexts, 0) << "a libftdi context was not freed";
        EXPECT_EQ(bus.liveListEntries, 0) << "a device list was not freed";
        for (const FakeConverter& c : bus.converters)
            EXPECT_EQ(c.heldBy, nullptr) << c.description << " is still held";
    }

    FT_HANDLE Open(const char* description)
    {
        FT_HANDLE h = nullptr;
        EXPECT_EQ(driver->OpenByDescription(description, &h), FT_OK) << description;
        return h;
    }
    // One converter, open, with the calls of the open out of the way.
    FT_HANDLE OpenOne()
    {
        bus.Add("Vantorelle");
        FT_HANDLE h = Open("Vantorelle");
        mark = bus.Mark();
        return h;
    }
    std::vector<std::string> Calls() const { return bus.CallsSince(mark); }
    std::vector<uint8_t> ReadAll(FT_HANDLE h, uint32_t count, FT_STATUS expected = FT_OK)
    {
        std::vector<uint8_t> bytes(count);
        uint32_t returned = 12345;
        EXPECT_EQ(driver->Read(h, bytes.data(), count, &returned), expected);
        bytes.resize(std::min(returned, count));
        return bytes;
    }
    uint32_t Queued(FT_HANDLE h)
    {
        uint32_t rx = 99, tx = 99, ev = 99;
        driver->GetStatus(h, &rx, &tx, &ev);
        EXPECT_EQ(tx, 0u);
        EXPECT_EQ(ev, 0u);
        return rx;
    }

    VirtualSystem clock;
    vu::test::LogCapture log;
    FakeBus bus;
    std::unique_ptr<CLibFtdiDriver> driver = std::make_unique<CLibFtdiDriver>(std::make_unique<FakeLibFtdi>(bus), clock);
    size_t mark = 0;
};

// ---- counting and listing ----

TEST_F(LibFtdiDriverTest, CountsTheSingleChannelFtdiConvertersOnly)
{
    bus.Add("FT232R USB UART", 0x6001);
    bus.Add("FT230X Basic UART", 0x6015);
    bus.Add("Single RS232-HS", 0x6014);
    bus.Add("Dual RS232", 0x6010);          // two channels: not counted
    bus.Add("CP2102", 0xEA60, 0x10C4);      // another maker
    bus.Add("Vantorelle", 0x6001);

    uint32_t count = 0;
    ASSERT_EQ(driver->ListDevicesCount(&count), FT_OK);
    EXPECT_EQ(count, 4u);
    EXPECT_THAT(bus.calls, ElementsAre("ftdi_new -> c1", "ftdi_usb_find_all(c1, 0403:6001)",
                                       "ftdi_usb_find_all(c1, 0403:6015)", "ftdi_usb_find_all(c1, 0403:6014)",
                                       "ftdi_list_free", "ftdi_list_free", "ftdi_list_free"));

    // The same context serves every count; an unplugged converter is gone at once.
    bus.converters[0].attached = false;
    mark = bus.Mark();
    ASSERT_EQ(driver->ListDevicesCount(&count), FT_OK);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(Calls().front(), "ftdi_usb_find_all(c1, 0403:6001)");
    EXPECT_THAT(log.Lines(), IsEmpty());
}

TEST_F(LibFtdiDriverTest, CountFailuresGiveZeroAndOneLogLineWithLibftdisText)
{
    bus.Add("Vantorelle");
    bus.Fail("ftdi_new", 0, nullptr);
    uint32_t count = 7;
    EXPECT_EQ(driver->ListDevicesCount(&count), FT_OTHER_ERROR);
    EXPECT_EQ(count, 0u);
    EXPECT_THAT(log.Lines(), ElementsAre(L"libftdi ftdi_new failed (0): no error text"));

    // The context is tried again at the next count.
    ASSERT_EQ(driver->ListDevicesCount(&count), FT_OK);
    EXPECT_EQ(count, 1u);

    log.Clear();
    bus.Fail("ftdi_usb_find_all", -5, "libusb_get_device_list() failed");
    count = 7;
    EXPECT_NE(driver->ListDevicesCount(&count), FT_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_THAT(log.Lines(), ElementsAre(L"libftdi ftdi_usb_find_all failed (-5): libusb_get_device_list() failed"));
    EXPECT_EQ(driver->ListDevicesCount(nullptr), FT_INVALID_PARAMETER);
}

TEST_F(LibFtdiDriverTest, ListsTheProductStringsOfTheAttachedConverters)
{
    bus.Add("Vantorelle", 0x6015);
    bus.Add("FT232R USB UART", 0x6001);
    bus.Add("Dual RS232", 0x6010);
    std::vector<std::string> names{"stale"};
    ASSERT_EQ(driver->ListDescriptions(&names), FT_OK);
    EXPECT_THAT(names, ElementsAre("FT232R USB UART", "Vantorelle")); // in product-id order

    // A converter whose strings cannot be read is left out, and the status says so.
    FakeConverter& locked = bus.Add("", 0x6014);
    locked.stringsResult = -4;
    locked.stringsText = "libusb_open() failed";
    EXPECT_NE(driver->ListDescriptions(&names), FT_OK);
    EXPECT_THAT(names, ElementsAre("FT232R USB UART", "Vantorelle"));
    EXPECT_THAT(log.Lines(), ElementsAre(L"libftdi ftdi_usb_get_strings failed (-4): libusb_open() failed"));
    EXPECT_EQ(driver->ListDescriptions(nullptr), FT_INVALID_PARAMETER);
}

// ---- opening ----

TEST_F(LibFtdiDriverTest, OpensTheFirstConverterWhoseProductStringIsExactlyTheDescription)
{
    bus.Add("FT232R USB UART", 0x6001);  // d0
    bus.Add("Vantorelle ", 0x6001);      // d1
    bus.Add("vantorelle", 0x6015);       // d2
    bus.Add("Vantorelle", 0x6015);       // d3
    bus.Add("Vantorelle", 0x6014);       // d4
    bus.Add("MOX", 0x6010);              // d5: a two-channel converter is not looked at

    struct Case {
        const char* description;
        int opened; // index of the converter, -1 for none
    } cases[] = {
        {"Vantorelle", 3}, {"FT232R USB UART", 0}, {"Vantorelle ", 1}, {"Vantorell", -1},
        {"VANTORELLE", -1}, {"MOX", -1}, {"", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        FT_HANDLE h = reinterpret_cast<FT_HANDLE>(1);
        FT_STATUS st = driver->OpenByDescription(c.description, &h);
        if (c.opened < 0) {
            EXPECT_EQ(st, FT_DEVICE_NOT_FOUND);
            EXPECT_EQ(h, nullptr);
            continue;
        }
        ASSERT_EQ(st, FT_OK);
        ASSERT_NE(h, nullptr);
        for (size_t i = 0; i < bus.converters.size(); ++i)
            EXPECT_EQ(bus.converters[i].heldBy != nullptr, int(i) == c.opened) << "converter " << i;
        const FakeConverter& opened = bus.converters[c.opened];
        EXPECT_EQ(opened.detachModeAtOpen, AUTO_DETACH_REATACH_SIO_MODULE);
        EXPECT_EQ(opened.latency, CLibFtdiDriver::LATENCY_TIMER_MS);
        EXPECT_EQ(driver->Close(h), FT_OK);
    }
    EXPECT_THAT(log.Lines(), IsEmpty()) << "no libftdi call failed";
}

TEST_F(LibFtdiDriverTest, OpenSearchesReadsStringsAndOpensOnAContextOfItsOwn)
{
    bus.Add("FT232R USB UART");
    bus.Add("Vantorelle");
    FT_HANDLE h = Open("Vantorelle");
    EXPECT_THAT(bus.calls,
                ElementsAre("ftdi_new -> c1", "ftdi_usb_find_all(c1, 0403:6001)", "ftdi_usb_find_all(c1, 0403:6015)",
                            "ftdi_usb_find_all(c1, 0403:6014)", "ftdi_usb_get_strings(c1, d0)",
                            "ftdi_usb_get_strings(c1, d1)", "ftdi_usb_open_dev(c1, d1)",
                            "ftdi_set_latency_timer(c1, 2)", "ftdi_read_data_set_chunksize(c1, 64)",
                            "ftdi_list_free"));

    // Not found: the context goes again; nothing to log, libftdi did not fail.
    mark = bus.Mark();
    FT_HANDLE other;
    EXPECT_EQ(driver->OpenByDescription("MOX", &other), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(Calls().back(), "ftdi_free(c2)");
    EXPECT_EQ(bus.liveContexts, 1);
    EXPECT_THAT(log.Lines(), IsEmpty());

    mark = bus.Mark();
    EXPECT_EQ(driver->Close(h), FT_OK);
    EXPECT_THAT(Calls(), ElementsAre("ftdi_usb_close(c1)", "ftdi_free(c1)"));
}

TEST_F(LibFtdiDriverTest, AnUnreadableConverterIsSkippedAndItsFailureLoggedOnceWhileOpensRepeat)
{
    FakeConverter& locked = bus.Add("");
    locked.stringsResult = -4;
    locked.stringsText = "libusb_open() failed";
    bus.Add("Vantorelle");

    // The link tries every description, back to back, for seconds.
    for (int attempt = 0; attempt < 200; ++attempt) {
        FT_HANDLE h;
        EXPECT_EQ(driver->OpenByDescription("MOX", &h), FT_DEVICE_NOT_FOUND);
    }
    EXPECT_THAT(log.Lines(), ElementsAre(L"libftdi ftdi_usb_get_strings failed (-4): libusb_open() failed"));

    FT_HANDLE h = Open("Vantorelle");
    EXPECT_TRUE(bus.converters[1].heldBy);
    EXPECT_EQ(driver->Close(h), FT_OK);

    // After an open the same failure is news again.
    FT_HANDLE none;
    EXPECT_EQ(driver->OpenByDescription("MOX", &none), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(log.Lines().size(), 2u);
}

TEST_F(LibFtdiDriverTest, OpenFailuresReleaseEverythingAndSayWhy)
{
    struct Case {
        const char* call;
        int result;
        const char* text;
        FT_STATUS status;
    } cases[] = {
        {"ftdi_new", 0, nullptr, FT_OTHER_ERROR},
        {"ftdi_usb_find_all", -6, "libusb_get_device_descriptor() failed", FT_IO_ERROR},
        {"ftdi_usb_open_dev", -8, "inappropriate permissions on device!", FT_DEVICE_NOT_OPENED},
        {"ftdi_set_latency_timer", -1, "unable to set latency timer", FT_DEVICE_NOT_OPENED},
        {"ftdi_read_data_set_chunksize", -1, "out of memory for readbuffer", FT_DEVICE_NOT_OPENED},
    };
    bus.Add("Vantorelle");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        log.Clear();
        bus.Fail(c.call, c.result, c.text);
        FT_HANDLE h = reinterpret_cast<FT_HANDLE>(1);
        EXPECT_EQ(driver->OpenByDescription("Vantorelle", &h), c.status);
        EXPECT_EQ(h, nullptr);
        EXPECT_EQ(bus.liveContexts, 0);
        EXPECT_EQ(bus.converters[0].heldBy, nullptr);
        std::wstring expected = Format(L"libftdi %S failed (%d): %S", c.call, c.result, c.text ? c.text : "no error text");
        EXPECT_THAT(log.Lines(), ElementsAre(expected));
    }
    // The failures were one-offs: the converter opens now.
    EXPECT_EQ(driver->Close(Open("Vantorelle")), FT_OK);
}

TEST_F(LibFtdiDriverTest, AConverterAlreadyHeldIsNotOpenedASecondTime)
{
    FT_HANDLE h = OpenOne();
    FT_HANDLE second = reinterpret_cast<FT_HANDLE>(1);
    EXPECT_EQ(driver->OpenByDescription("Vantorelle", &second), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(log.Lines().size(), 1u);
    EXPECT_EQ(driver->SetBaudRate(h, 115200), FT_OK) << "the first handle is untouched";
    EXPECT_EQ(driver->Close(h), FT_OK);
}

// ---- bad handles and arguments ----

TEST_F(LibFtdiDriverTest, BadHandlesAndArgumentsReachNoLibftdiCall)
{
    FT_HANDLE h = OpenOne();
    uint8_t byte = 0;
    uint32_t n = 0;
    ASSERT_EQ(driver->Close(h), FT_OK);
    mark = bus.Mark();

    FT_HANDLE stale = h;
    FT_HANDLE never = &byte;
    for (FT_HANDLE bad : {stale, never, FT_HANDLE(nullptr)}) {
        EXPECT_EQ(driver->SetDataCharacteristics(bad, 8, 0, 0), FT_INVALID_HANDLE);
        EXPECT_EQ(driver->SetBaudRate(bad, 115200), FT_INVALID_HANDLE);
        EXPECT_EQ(driver->Write(bad, &byte, 1, &n), FT_INVALID_HANDLE);
        EXPECT_EQ(driver->GetStatus(bad, &n, &n, &n), FT_INVALID_HANDLE);
        EXPECT_EQ(driver->Read(bad, &byte, 1, &n), FT_INVALID_HANDLE);
        EXPECT_EQ(driver->ResetDevice(bad), FT_INVALID_HANDLE);
        EXPECT_EQ(driver->SetBitMode(bad, 0xF1, 0x20), FT_INVALID_HANDLE);
        EXPECT_EQ(driver->SetBreakOn(bad), FT_INVALID_HANDLE);
        EXPECT_EQ(driver->SetBreakOff(bad), FT_INVALID_HANDLE);
        EXPECT_EQ(driver->Purge(bad, FT_PURGE_RX), FT_INVALID_HANDLE);
        EXPECT_EQ(driver->SetLatencyTimer(bad, 16), FT_INVALID_HANDLE);
        EXPECT_EQ(driver->SetChars(bad, 0x0A, 1, 0, 0), FT_INVALID_HANDLE);
        EXPECT_EQ(driver->WaitReceive(bad, 10, &n), FT_INVALID_HANDLE);
        EXPECT_EQ(driver->Close(bad), FT_INVALID_HANDLE);
    }
    FT_HANDLE out;
    EXPECT_EQ(driver->OpenByDescription(nullptr, &out), FT_INVALID_PARAMETER);
    EXPECT_EQ(driver->OpenByDescription("Vantorelle", nullptr), FT_INVALID_PARAMETER);

    h = Open("Vantorelle");
    mark = bus.Mark();
    EXPECT_EQ(driver->SetBaudRate(h, 0x80000000u), FT_INVALID_PARAMETER);
    EXPECT_EQ(driver->Write(h, nullptr, 1, &n), FT_INVALID_PARAMETER);
    EXPECT_EQ(driver->Read(h, nullptr, 1, &n), FT_INVALID_PARAMETER);
    EXPECT_EQ(driver->Purge(h, 4), FT_INVALID_PARAMETER);
    EXPECT_EQ(driver->SetLatencyTimer(h, 1), FT_INVALID_PARAMETER);
    struct Line {
        uint8_t bits, stop, parity;
    } badLines[] = {{6, 0, 0}, {9, 0, 0}, {8, 3, 0}, {8, 0, 5}};
    for (const Line& l : badLines)
        EXPECT_EQ(driver->SetDataCharacteristics(h, l.bits, l.stop, l.parity), FT_INVALID_PARAMETER);
    EXPECT_THAT(Calls(), IsEmpty());
    EXPECT_THAT(log.Lines(), IsEmpty());
    EXPECT_EQ(driver->Close(h), FT_OK);
}

// ---- line settings, break, baud rate, CBUS ----

TEST_F(LibFtdiDriverTest, BreakOnAndOffKeepTheLineSettings)
{
    FT_HANDLE h = OpenOne();
    const FakeConverter& c = bus.converters[0];
    EXPECT_EQ(driver->SetDataCharacteristics(h, 7, 2, 2), FT_OK);
    EXPECT_EQ(driver->SetBreakOn(h), FT_OK);
    EXPECT_TRUE(c.breakOn);
    EXPECT_EQ(driver->SetDataCharacteristics(h, 8, 0, 0), FT_OK); // during the break
    EXPECT_TRUE(c.breakOn) << "changing the line ended the break";
    EXPECT_EQ(driver->SetBreakOff(h), FT_OK);
    EXPECT_THAT(Calls(), ElementsAre("ftdi_set_line_property2(c1, 7, 2, 2, BREAK_OFF)",
                                     "ftdi_set_line_property2(c1, 7, 2, 2, BREAK_ON)",
                                     "ftdi_set_line_property2(c1, 8, 0, 0, BREAK_ON)",
                                     "ftdi_set_line_property2(c1, 8, 0, 0, BREAK_OFF)"));

    // A setting the converter refused is not the one the next break keeps.
    bus.Fail("ftdi_set_line_property2", -1, "Setting new line property failed");
    EXPECT_NE(driver->SetDataCharacteristics(h, 7, 0, 1), FT_OK);
    mark = bus.Mark();
    EXPECT_EQ(driver->SetBreakOn(h), FT_OK);
    EXPECT_THAT(Calls(), ElementsAre("ftdi_set_line_property2(c1, 8, 0, 0, BREAK_ON)"));
    EXPECT_EQ(driver->Close(h), FT_OK);
}

TEST_F(LibFtdiDriverTest, TheBootLoaderPulseReachesLibftdiAndLeavesTheUartAtTheAskedRate)
{
    FT_HANDLE h = OpenOne();
    const FakeConverter& c = bus.converters[0];
    // What the link does to open the port and restart the machine into its boot loader.
    driver->SetDataCharacteristics(h, 8, 0, 0);
    driver->SetBaudRate(h, 115200);
    EXPECT_EQ(c.baud, 115200);
    EXPECT_EQ(driver->ResetDevice(h), FT_OK);
    EXPECT_EQ(driver->SetBitMode(h, 0xF1, FT_BITMODE_CBUS_BITBANG), FT_OK);
    EXPECT_EQ(driver->SetBitMode(h, 0xF5, FT_BITMODE_CBUS_BITBANG), FT_OK);
    driver->SetBreakOn(h);
    EXPECT_EQ(driver->SetBitMode(h, 0xF1, FT_BITMODE_CBUS_BITBANG), FT_OK);
    driver->SetBreakOff(h);
    driver->Purge(h, FT_PURGE_RX);
    EXPECT_EQ(driver->SetBaudRate(h, 2000000), FT_OK);

    EXPECT_THAT(Calls(), ElementsAre("ftdi_set_line_property2(c1, 8, 0, 0, BREAK_OFF)",
                                     "ftdi_set_baudrate(c1, 115200)", "ftdi_usb_reset(c1)",
                                     "ftdi_set_bitmode(c1, F1, 20)", "ftdi_set_bitmode(c1, F5, 20)",
                                     "ftdi_set_line_property2(c1, 8, 0, 0, BREAK_ON)", "ftdi_set_bitmode(c1, F1, 20)",
                                     "ftdi_set_line_property2(c1, 8, 0, 0, BREAK_OFF)", "ftdi_tciflush(c1)",
                                     "ftdi_set_baudrate(c1, 2000000)"));
    EXPECT_THAT(c.bitmodeMasks, ElementsAre(0xF1, 0xF5, 0xF1));
    // libftdi multiplies bit-bang rates by four; the UART beside the CBUS pins must not be.
    EXPECT_EQ(c.baud, 2000000);
    EXPECT_THAT(log.Lines(), IsEmpty());
    EXPECT_EQ(driver->Close(h), FT_OK);
}

// ---- writing ----

TEST_F(LibFtdiDriverTest, WritesAllBytesAndNeverReportsAShortWriteAsSuccess)
{
    FT_HANDLE h = OpenOne();
    const std::vector<uint8_t> frame{0x06, 0x00, 0x01, 0x00, 0xD1, 0xD6};
    uint32_t written = 0;
    EXPECT_EQ(driver->Write(h, frame.data(), 6, &written), FT_OK);
    EXPECT_EQ(written, 6u);
    EXPECT_EQ(bus.converters[0].written, frame);
    EXPECT_EQ(driver->Write(h, frame.data(), 0, &written), FT_OK); // nothing to send: no call
    EXPECT_EQ(written, 0u);
    EXPECT_THAT(Calls(), ElementsAre("ftdi_write_data(c1, 6)"));

    bus.Fail("ftdi_write_data", 3, nullptr);
    EXPECT_EQ(driver->Write(h, frame.data(), 6, &written), FT_IO_ERROR);
    EXPECT_EQ(written, 3u);
    EXPECT_THAT(log.Lines(), ElementsAre(L"libftdi ftdi_write_data took 3 of 6 bytes"));
    EXPECT_EQ(driver->Close(h), FT_OK);
}

// ---- receiving ----

TEST_F(LibFtdiDriverTest, TheCountedBytesAreReadAtOnceWithoutAskingLibftdiAgain)
{
    FT_HANDLE h = OpenOne();
    FakeConverter& c = bus.converters[0];
    EXPECT_EQ(Queued(h), 0u);
    c.Arrive({0xD1, 0x00, 0x11});
    EXPECT_EQ(Queued(h), 3u);
    c.Arrive({0x22, 0x33});
    EXPECT_EQ(Queued(h), 5u);
    EXPECT_THAT(Calls(), ElementsAre("ftdi_read_data(c1, 4096)", "ftdi_read_data(c1, 4096)",
                                     "ftdi_read_data(c1, 4093)"));

    mark = bus.Mark();
    EXPECT_THAT(ReadAll(h, 2), ElementsAre(0xD1, 0x00));
    EXPECT_THAT(ReadAll(h, 3), ElementsAre(0x11, 0x22, 0x33));
    EXPECT_THAT(Calls(), IsEmpty());
    EXPECT_EQ(Queued(h), 0u);
    EXPECT_EQ(driver->Close(h), FT_OK);
}

TEST_F(LibFtdiDriverTest, AFullReceiveBufferStopsFetchingAndLosesNothing)
{
    FT_HANDLE h = OpenOne();
    FakeConverter& c = bus.converters[0];
    std::vector<uint8_t> sent(5000);
    std::iota(sent.begin(), sent.end(), 0); // 0, 1, ... 255, 0, 1, ...
    c.Arrive(sent);

    EXPECT_EQ(Queued(h), CLibFtdiDriver::RX_BUFFER_SIZE);
    mark = bus.Mark();
    EXPECT_EQ(Queued(h), CLibFtdiDriver::RX_BUFFER_SIZE);
    EXPECT_THAT(Calls(), IsEmpty()) << "a full buffer fetched more";

    std::vector<uint8_t> got = ReadAll(h, CLibFtdiDriver::RX_BUFFER_SIZE);
    EXPECT_EQ(Queued(h), 5000 - CLibFtdiDriver::RX_BUFFER_SIZE);
    std::vector<uint8_t> rest = ReadAll(h, 5000 - CLibFtdiDriver::RX_BUFFER_SIZE);
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_EQ(got, sent);
    EXPECT_EQ(driver->Close(h), FT_OK);
}

TEST_F(LibFtdiDriverTest, AReadOfMoreThanCountedWaitsABoundedTimeForTheRest)
{
    FT_HANDLE h = OpenOne();
    FakeConverter& c = bus.converters[0];
    c.Arrive({1, 2});
    ASSERT_EQ(Queued(h), 2u);
    c.Arrive({3});
    c.Arrive({4, 5});
    mark = bus.Mark();
    EXPECT_THAT(ReadAll(h, 5), ElementsAre(1, 2, 3, 4, 5));
    EXPECT_THAT(Calls(), ElementsAre("ftdi_read_data(c1, 3)", "ftdi_read_data(c1, 2)"));

    // Nothing more comes: the bytes there are returned once the limit has passed.
    c.Arrive({6});
    ASSERT_EQ(Queued(h), 1u);
    uint32_t before = clock.NowMs();
    EXPECT_THAT(ReadAll(h, 4), ElementsAre(6));
    uint32_t waited = clock.NowMs() - before;
    EXPECT_GE(waited, CLibFtdiDriver::READ_REST_LIMIT_MS);
    EXPECT_LT(waited, CLibFtdiDriver::READ_REST_LIMIT_MS + 10);
    EXPECT_EQ(driver->Close(h), FT_OK);
}

TEST_F(LibFtdiDriverTest, AFailedFetchStillReportsTheBytesAlreadyHere)
{
    FT_HANDLE h = OpenOne();
    bus.converters[0].Arrive({0xA1, 0x00});
    ASSERT_EQ(Queued(h), 2u);
    bus.Fail("ftdi_read_data", -1, "usb bulk read failed");
    uint32_t rx = 0;
    EXPECT_EQ(driver->GetStatus(h, &rx, nullptr, nullptr), FT_IO_ERROR);
    EXPECT_EQ(rx, 2u);
    EXPECT_THAT(ReadAll(h, 2), ElementsAre(0xA1, 0x00));
    EXPECT_EQ(driver->Close(h), FT_OK);
}

// ---- waiting for the converter ----

TEST_F(LibFtdiDriverTest, EveryReadIsBoundedJustAboveTheLatencyTimerNotByLibftdisFiveSeconds)
{
    FT_HANDLE h = OpenOne();
    ftdi_context* context = bus.converters[0].heldBy;
    EXPECT_EQ(context->readbuffer_chunksize, CLibFtdiDriver::READ_CHUNK_SIZE);
    EXPECT_EQ(context->usb_read_timeout, CLibFtdiDriver::LATENCY_TIMER_MS + CLibFtdiDriver::USB_READ_MARGIN_MS);

    // A stalled converter holds a status poll for one read's time-out.
    bus.converters[0].stalled = true;
    uint32_t rx = 99;
    const uint64_t before = clock.NowUs();
    EXPECT_EQ(driver->GetStatus(h, &rx, nullptr, nullptr), FT_IO_ERROR);
    EXPECT_LE(clock.NowUs() - before, uint64_t(CLibFtdiDriver::LATENCY_TIMER_MS + CLibFtdiDriver::USB_READ_MARGIN_MS) * 1000 + 2000);
    EXPECT_EQ(rx, 0u);
    EXPECT_THAT(log.Lines(), ElementsAre(L"libftdi ftdi_read_data failed (-7): usb bulk read failed"));

    // A longer latency timer moves the time-out with it.
    bus.converters[0].stalled = false;
    mark = bus.Mark();
    EXPECT_EQ(driver->SetLatencyTimer(h, 16), FT_OK);
    EXPECT_THAT(Calls(), ElementsAre("ftdi_set_latency_timer(c1, 16)"));
    EXPECT_EQ(bus.converters[0].latency, 16);
    EXPECT_EQ(context->usb_read_timeout, 16 + CLibFtdiDriver::USB_READ_MARGIN_MS);
    bus.Fail("ftdi_set_latency_timer", -2, "unable to set latency timer");
    EXPECT_EQ(driver->SetLatencyTimer(h, 255), FT_IO_ERROR);
    EXPECT_EQ(context->usb_read_timeout, 16 + CLibFtdiDriver::USB_READ_MARGIN_MS) << "a refused timer moves nothing";
    EXPECT_EQ(driver->Close(h), FT_OK);
}

TEST_F(LibFtdiDriverTest, TheReceiveWaitReadsPacketByPacketUntilAByteComesOrTheTimeHasPassed)
{
    FT_HANDLE h = OpenOne();
    FakeConverter& c = bus.converters[0];
    struct Case {
        const char* name;
        uint32_t arrivesAfterMs; // 0: nothing comes
        uint32_t waitMs;
        uint32_t expectedQueue;
        uint32_t minMs, maxMs;   // how long the wait took
    } cases[] = {
        {"nothing comes", 0, 100, 0, 100, 100 + CLibFtdiDriver::LATENCY_TIMER_MS},
        {"a reply after 30 ms", 30, 100, 3, 30, 30 + CLibFtdiDriver::LATENCY_TIMER_MS},
        {"a reply after the wait", 150, 100, 0, 100, 100 + CLibFtdiDriver::LATENCY_TIMER_MS},
        {"a zero wait still asks once", 0, 0, 0, 0, CLibFtdiDriver::LATENCY_TIMER_MS},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        clock.SetTickStepUs(0);
        driver->Purge(h, FT_PURGE_RX);
        if (k.arrivesAfterMs)
            c.Arrive({0xD1, 0x00, 0x11}, clock.NowUs() + k.arrivesAfterMs * 1000ull);
        uint32_t rx = 99;
        const uint64_t before = clock.NowUs();
        EXPECT_EQ(driver->WaitReceive(h, k.waitMs, &rx), FT_OK);
        const uint64_t took = (clock.NowUs() - before) / 1000;
        EXPECT_EQ(rx, k.expectedQueue);
        EXPECT_GE(took, k.minMs);
        EXPECT_LE(took, k.maxMs);
    }
    // What came is there for the read, and a wait with bytes here asks nothing.
    c.Arrive({0x22}, clock.NowUs());
    uint32_t rx = 0;
    ASSERT_EQ(driver->WaitReceive(h, 100, &rx), FT_OK);
    mark = bus.Mark();
    EXPECT_EQ(driver->WaitReceive(h, 100, &rx), FT_OK);
    EXPECT_EQ(rx, 1u);
    EXPECT_THAT(Calls(), IsEmpty());
    EXPECT_THAT(ReadAll(h, 1), ElementsAre(0x22));

    // A stalled converter ends the wait with a failure after one read's time-out.
    c.stalled = true;
    const uint64_t before = clock.NowUs();
    EXPECT_EQ(driver->WaitReceive(h, 5000, &rx), FT_IO_ERROR);
    EXPECT_EQ(rx, 0u);
    EXPECT_LE(clock.NowUs() - before, uint64_t(CLibFtdiDriver::LATENCY_TIMER_MS + CLibFtdiDriver::USB_READ_MARGIN_MS) * 1000);
    c.stalled = false;
    EXPECT_EQ(driver->Close(h), FT_OK);
}

TEST_F(LibFtdiDriverTest, TheCharactersReachBothLibftdiCalls)
{
    FT_HANDLE h = OpenOne();
    EXPECT_EQ(driver->SetChars(h, 0xD6, 1, 0x3F, 0), FT_OK);
    EXPECT_EQ(driver->SetChars(h, 0x0A, 0, 0xEE, 7), FT_OK); // any nonzero enables
    EXPECT_THAT(Calls(), ElementsAre("ftdi_set_event_char(c1, D6, 1)", "ftdi_set_error_char(c1, 3F, 0)",
                                     "ftdi_set_event_char(c1, 0A, 0)", "ftdi_set_error_char(c1, EE, 1)"));
    EXPECT_EQ(bus.converters[0].eventChar, -1);
    EXPECT_EQ(bus.converters[0].errorChar, 0xEE);
    EXPECT_EQ(driver->Close(h), FT_OK);
}

// ---- purge, reset, close ----

TEST_F(LibFtdiDriverTest, PurgeUsesTheFlushCallOfEachDirectionAndEmptiesTheOwnBuffer)
{
    struct Case {
        uint32_t mask;
        const char* call; // nullptr: no call
        bool emptiesReceived;
    } cases[] = {
        {FT_PURGE_RX, "ftdi_tciflush(c1)", true},
        {FT_PURGE_TX, "ftdi_tcoflush(c1)", false},
        {FT_PURGE_RX | FT_PURGE_TX, "ftdi_tcioflush(c1)", true},
        {0, nullptr, false},
    };
    FT_HANDLE h = OpenOne();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mask);
        bus.converters[0].Arrive({0x55, 0x66});
        ASSERT_EQ(Queued(h), 2u);
        mark = bus.Mark();
        EXPECT_EQ(driver->Purge(h, c.mask), FT_OK);
        if (c.call)
            EXPECT_THAT(Calls(), ElementsAre(c.call));
        else
            EXPECT_THAT(Calls(), IsEmpty());
        EXPECT_EQ(Queued(h), c.emptiesReceived ? 0u : 2u);
        driver->Purge(h, FT_PURGE_RX);
    }
    EXPECT_EQ(driver->Close(h), FT_OK);
}

TEST_F(LibFtdiDriverTest, ResetEmptiesTheReceivedBytes)
{
    FT_HANDLE h = OpenOne();
    bus.converters[0].Arrive({0x01, 0x02, 0x03});
    ASSERT_EQ(Queued(h), 3u);
    mark = bus.Mark();
    EXPECT_EQ(driver->ResetDevice(h), FT_OK);
    EXPECT_THAT(Calls(), ElementsAre("ftdi_usb_reset(c1)"));
    EXPECT_EQ(Queued(h), 0u);
    EXPECT_EQ(driver->Close(h), FT_OK);
}

TEST_F(LibFtdiDriverTest, CloseReleasesTheConverterEvenWhenLibftdiComplains)
{
    bus.Add("Vantorelle");
    bus.Add("MOX");
    FT_HANDLE a = Open("Vantorelle");
    FT_HANDLE b = Open("MOX");
    mark = bus.Mark();
    bus.Fail("ftdi_usb_close", -1, "usb_release failed");
    EXPECT_EQ(driver->Close(a), FT_IO_ERROR);
    EXPECT_THAT(Calls(), ElementsAre("ftdi_usb_close(c1)", "ftdi_free(c1)"));
    EXPECT_EQ(driver->Close(a), FT_INVALID_HANDLE);
    EXPECT_EQ(bus.converters[0].heldBy, nullptr);
    EXPECT_THAT(log.Lines(), ElementsAre(L"libftdi ftdi_usb_close failed (-1): usb_release failed"));

    // The other handle goes on working, and the driver's end closes it.
    EXPECT_EQ(driver->SetBaudRate(b, 115200), FT_OK);
    driver.reset();
    EXPECT_EQ(bus.converters[1].heldBy, nullptr);
    EXPECT_EQ(bus.calls.back(), "ftdi_free(c2)");
}

// ---- how libftdi's failures come back ----

TEST_F(LibFtdiDriverTest, EveryLibftdiFailureIsANonzeroStatusAndOneLineWithItsText)
{
    using Call = std::function<FT_STATUS(IFtdiDriver&, FT_HANDLE)>;
    uint8_t bytes[8] = {};
    uint32_t n = 0;
    struct Case {
        const char* name;
        const char* libftdiCall;
        Call call;
    } cases[] = {
        {"SetDataCharacteristics", "ftdi_set_line_property2",
         [](IFtdiDriver& d, FT_HANDLE h) { return d.SetDataCharacteristics(h, 8, 0, 0); }},
        {"SetBreakOn", "ftdi_set_line_property2", [](IFtdiDriver& d, FT_HANDLE h) { return d.SetBreakOn(h); }},
        {"SetBreakOff", "ftdi_set_line_property2", [](IFtdiDriver& d, FT_HANDLE h) { return d.SetBreakOff(h); }},
        {"SetBaudRate", "ftdi_set_baudrate", [](IFtdiDriver& d, FT_HANDLE h) { return d.SetBaudRate(h, 115200); }},
        {"Write", "ftdi_write_data", [&](IFtdiDriver& d, FT_HANDLE h) { return d.Write(h, bytes, 8, &n); }},
        {"GetStatus", "ftdi_read_data", [&](IFtdiDriver& d, FT_HANDLE h) { return d.GetStatus(h, &n, &n, &n); }},
        {"Read", "ftdi_read_data", [&](IFtdiDriver& d, FT_HANDLE h) { return d.Read(h, bytes, 8, &n); }},
        {"ResetDevice", "ftdi_usb_reset", [](IFtdiDriver& d, FT_HANDLE h) { return d.ResetDevice(h); }},
        {"SetBitMode", "ftdi_set_bitmode", [](IFtdiDriver& d, FT_HANDLE h) { return d.SetBitMode(h, 0xF5, 0x20); }},
        {"Purge RX", "ftdi_tciflush", [](IFtdiDriver& d, FT_HANDLE h) { return d.Purge(h, FT_PURGE_RX); }},
        {"Purge TX", "ftdi_tcoflush", [](IFtdiDriver& d, FT_HANDLE h) { return d.Purge(h, FT_PURGE_TX); }},
        {"Purge both", "ftdi_tcioflush",
         [](IFtdiDriver& d, FT_HANDLE h) { return d.Purge(h, FT_PURGE_RX | FT_PURGE_TX); }},
        {"SetLatencyTimer", "ftdi_set_latency_timer", [](IFtdiDriver& d, FT_HANDLE h) { return d.SetLatencyTimer(h, 16); }},
        {"SetChars event", "ftdi_set_event_char", [](IFtdiDriver& d, FT_HANDLE h) { return d.SetChars(h, 0x0A, 1, 0, 0); }},
        {"SetChars error", "ftdi_set_error_char", [](IFtdiDriver& d, FT_HANDLE h) { return d.SetChars(h, 0x0A, 1, 0, 0); }},
        {"WaitReceive", "ftdi_read_data", [&](IFtdiDriver& d, FT_HANDLE h) { return d.WaitReceive(h, 100, &n); }},
        {"Close", "ftdi_usb_close", [](IFtdiDriver& d, FT_HANDLE h) { return d.Close(h); }},
    };
    bus.Add("Vantorelle");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FT_HANDLE h = Open("Vantorelle");
        log.Clear();
        bus.Fail(c.libftdiCall, -7, "text of the failure");
        EXPECT_NE(c.call(*driver, h), FT_OK);
        EXPECT_THAT(log.Lines(), ElementsAre(Format(L"libftdi %S failed (-7): text of the failure", c.libftdiCall)));
        EXPECT_TRUE(bus.failures.empty()) << "the failing call was not made";
        driver->Close(h);
    }
}

TEST(LibFtdiPlatformDriver, IsTheLinuxDriver)
{
    std::unique_ptr<IFtdiDriver> d = CreatePlatformDriver();
    EXPECT_NE(dynamic_cast<CLibFtdiDriver*>(d.get()), nullptr);
}

} // namespace
