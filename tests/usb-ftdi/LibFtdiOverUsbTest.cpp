// The real libftdi1 over the virtual FT232R. This program links libftdi1 and
// runs with sim/usb-ftdi's libusb-1.0.so.0 first on its library path. It
// shows, byte for byte on a scripted link server, which protocol call each
// libftdi call becomes; on the in-process machine simulator, what the machine
// sees of the baud divisors libftdi computes, of the boot-loader pulse and of
// a command and its reply; and the product's libftdi1 back end waiting on
// the USB stack, also when the converter has stalled.
#include "device/VirtualFtdiProtocol.h"
#include "device/posix/LibFtdiDriver.h"
#include "platform/LittleEndian.h"
#include "platform/Platform.h"
#include "platform/Socket.h"
#include "sim/machine-sim/LinkServer.h"
#include "tests/testsupport/ScriptedDriver.h"
#include "tests/virtualftdi/ScriptedLinkServer.h"

#include <dlfcn.h>
#include <ftdi.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <thread>

using namespace vu;
using namespace vu::sim;
using vu::test::Hex;
using vu::test::HexText;
using ::testing::ElementsAre;
using Clock = std::chrono::steady_clock;

namespace {

const uint8_t DEVICE_ID_FRAME[] = {0x06, 0x00, 0x01, 0x00, 0xD1, 0xD6};

std::string LoadedLibusb()
{
    void* f = dlsym(RTLD_DEFAULT, "libusb_init");
    Dl_info info{};
    return f && dladdr(f, &info) && info.dli_fname ? info.dli_fname : "";
}

uint32_t MsSince(Clock::time_point start)
{
    return uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// The rate the FT232R runs at for a wanted rate, as its application note
// says: 3 MHz over the closest divisor n + k/8 (n from 2), or the special
// divisors 0 (3 MBaud) and 1 (2 MBaud).
uint32_t ClosestChipRate(uint32_t wanted)
{
    double best = std::fabs(3e6 - wanted) <= std::fabs(2e6 - wanted) ? 3e6 : 2e6;
    for (uint32_t eighths = 16; eighths <= 16383 * 8 + 7; ++eighths) {
        double baud = 24e6 / eighths;
        if (std::fabs(baud - wanted) < std::fabs(best - wanted))
            best = baud;
    }
    return uint32_t(best + 0.5);
}

class OverUsb : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(LoadedLibusb().find("usb-ftdi/lib/"), std::string::npos)
            << "libusb came from " << LoadedLibusb() << ": run with sim/usb-ftdi's folder first on LD_LIBRARY_PATH";
        net::Startup();
    }
    void TearDown() override
    {
        driver.reset(); // its libusb context goes, so the next start reads the address afresh
        unsetenv("VANTORELLE_USB_SIMULATOR");
        unsetenv("VANTORELLE_USB_FAULT");
        net::Cleanup();
    }
    static void PointAt(const std::string& address) { setenv("VANTORELLE_USB_SIMULATOR", address.c_str(), 1); }

    std::unique_ptr<CLibFtdiDriver> driver = std::make_unique<CLibFtdiDriver>(CreateLibFtdi());
};

// ---- the protocol calls, byte for byte ----

// A converter "Vantorelle" whose link server answers everything and keeps
// bytes for the host to read.
class OverScriptedLink : public OverUsb {
protected:
    void SetUp() override
    {
        OverUsb::SetUp();
        PointAt(link.Address());
        ftdi = ftdi_new(); // its libusb context reads the address
    }
    void TearDown() override
    {
        if (ftdi)
            ftdi_free(ftdi);
        OverUsb::TearDown();
        link.Stop();
    }

    vu::test::LinkAnswer Answer(const vu::test::LinkRequest& r)
    {
        vu::test::LinkAnswer a;
        if (r.op == VFTDI_WAIT_RECEIVE && Queued() == 0) // nothing comes: wait a little, as a simulator would
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min<uint32_t>(GetLe32(r.payload.data()), 20)));
        std::lock_guard<std::mutex> lock(m_lock);
        switch (r.op) {
        case VFTDI_LIST_COUNT: a.payload = {1, 0, 0, 0}; break;
        case VFTDI_GET_DESCRIPTION:
            if (GetLe32(r.payload.data()) == 0)
                a.payload = Text("Vantorelle");
            else
                a.status = FT_DEVICE_NOT_FOUND;
            break;
        case VFTDI_WRITE:
            a.payload.resize(4);
            PutLe32(a.payload.data(), uint32_t(r.payload.size()));
            break;
        case VFTDI_GET_STATUS:
            a.payload.resize(12);
            PutLe32(a.payload.data(), uint32_t(m_queue.size()));
            break;
        case VFTDI_WAIT_RECEIVE:
            a.payload.resize(4);
            PutLe32(a.payload.data(), uint32_t(m_queue.size()));
            break;
        case VFTDI_READ: {
            size_t n = std::min<size_t>(GetLe32(r.payload.data()), m_queue.size());
            a.payload.assign(m_queue.begin(), m_queue.begin() + std::ptrdiff_t(n));
            m_queue.erase(m_queue.begin(), m_queue.begin() + std::ptrdiff_t(n));
            break;
        }
        default: break;
        }
        return a;
    }
    static std::vector<uint8_t> Text(const char* s) { return std::vector<uint8_t>(s, s + std::strlen(s)); }
    size_t Queued()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_queue.size();
    }
    void Queue(const std::vector<uint8_t>& bytes)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_queue.insert(m_queue.end(), bytes.begin(), bytes.end());
    }
    // The requests since `from`, as "OP payload".
    std::vector<std::string> Since(size_t from)
    {
        std::vector<std::string> out;
        std::vector<vu::test::LinkRequest> all = link.Requests();
        for (size_t i = from; i < all.size(); ++i) {
            const vftdi::OpShape* shape = vftdi::FindOp(all[i].op);
            std::string name = shape ? shape->name : "?";
            out.push_back(all[i].payload.empty() ? name : name + " " + HexText(all[i].payload));
        }
        return out;
    }

    std::mutex m_lock;
    std::deque<uint8_t> m_queue;
    vu::test::ScriptedLinkServer link{[this](const vu::test::LinkRequest& r) { return Answer(r); }};
    ftdi_context* ftdi = nullptr;
};

TEST_F(OverScriptedLink, EachLibftdiCallBecomesTheProtocolCallOfWhatTheChipDoes)
{
    size_t mark = link.Requests().size();
    ASSERT_EQ(ftdi_usb_open_desc(ftdi, 0x0403, 0x6001, "Vantorelle", nullptr), 0) << ftdi_get_error_string(ftdi);
    // libftdi's own open: the converter is taken, reset, and set to 9600 baud.
    std::vector<std::string> opened = Since(mark);
    ASSERT_GE(opened.size(), 3u);
    EXPECT_THAT(std::vector<std::string>(opened.end() - 3, opened.end()),
                ElementsAre("OPEN_BY_DESCRIPTION 56 61 6E 74 6F 72 65 6C 6C 65", "RESET_DEVICE",
                            "SET_BAUD_RATE 80 25 00 00"));

    const uint8_t frame[] = {0x06, 0x00, 0x01, 0x00, 0xD1, 0xD6};
    unsigned short modem = 0;
    struct Case {
        const char* name;
        std::function<int()> call;
        bool ok;
        std::vector<std::string> requests;
    } cases[] = {
        {"break on: the line as it is", [&] { return ftdi_set_line_property2(ftdi, BITS_8, STOP_BIT_1, NONE, BREAK_ON); },
         true, {"SET_BREAK_ON"}},
        {"break off", [&] { return ftdi_set_line_property2(ftdi, BITS_8, STOP_BIT_1, NONE, BREAK_OFF); }, true,
         {"SET_BREAK_OFF"}},
        {"7 bits, 2 stop bits, even parity", [&] { return ftdi_set_line_property(ftdi, BITS_7, STOP_BIT_2, EVEN); },
         true, {"SET_DATA_CHARACTERISTICS 07 02 02"}},
        {"8N1", [&] { return ftdi_set_line_property(ftdi, BITS_8, STOP_BIT_1, NONE); }, true,
         {"SET_DATA_CHARACTERISTICS 08 00 00"}},
        {"1.5 stop bits: not an FT232R's", [&] { return ftdi_set_line_property(ftdi, BITS_8, STOP_BIT_15, NONE); },
         false, {}},
        {"115200: divisor 26", [&] { return ftdi_set_baudrate(ftdi, 115200); }, true, {"SET_BAUD_RATE B9 C2 01 00"}},
        {"2000000: divisor 1", [&] { return ftdi_set_baudrate(ftdi, 2000000); }, true, {"SET_BAUD_RATE 80 84 1E 00"}},
        {"490000: divisor 6.125", [&] { return ftdi_set_baudrate(ftdi, 490000); }, true, {"SET_BAUD_RATE 44 79 07 00"}},
        {"CBUS0 and CBUS2 high", [&] { return ftdi_set_bitmode(ftdi, 0xF5, BITMODE_CBUS); }, true,
         {"SET_BIT_MODE F5 20"}},
        {"bit-bang off", [&] { return ftdi_set_bitmode(ftdi, 0x00, BITMODE_RESET); }, true, {"SET_BIT_MODE 00 00"}},
        {"MPSSE: another chip's", [&] { return ftdi_set_bitmode(ftdi, 0xFF, BITMODE_MPSSE); }, false, {}},
        {"purge what came in", [&] { return ftdi_tciflush(ftdi); }, true, {"PURGE 01 00 00 00"}},
        {"purge what goes out", [&] { return ftdi_tcoflush(ftdi); }, true, {"PURGE 02 00 00 00"}},
        {"reset", [&] { return ftdi_usb_reset(ftdi); }, true, {"RESET_DEVICE"}},
        {"latency timer", [&] { return ftdi_set_latency_timer(ftdi, 2); }, true, {"SET_LATENCY_TIMER 02"}},
        {"latency timer of 1 ms", [&] { return ftdi_set_latency_timer(ftdi, 1); }, false, {}},
        {"event character", [&] { return ftdi_set_event_char(ftdi, 0xD6, 1); }, true, {"SET_CHARS D6 01 00 00"}},
        {"error character", [&] { return ftdi_set_error_char(ftdi, 0xEE, 1); }, true, {"SET_CHARS D6 01 EE 01"}},
        {"DTR and RTS: no line of the link", [&] { return ftdi_setdtr_rts(ftdi, 1, 1); }, true, {}},
        {"no flow control", [&] { return ftdi_setflowctrl(ftdi, SIO_DISABLE_FLOW_CTRL); }, true, {}},
        {"modem status: the chip's own", [&] { return ftdi_poll_modem_status(ftdi, &modem); }, true, {}},
        {"bytes out", [&] { return ftdi_write_data(ftdi, frame, sizeof frame) == 6 ? 0 : -1; }, true,
         {"WRITE 06 00 01 00 D1 D6"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mark = link.Requests().size();
        int result = c.call();
        EXPECT_EQ(result >= 0, c.ok) << result << " " << ftdi_get_error_string(ftdi);
        EXPECT_EQ(Since(mark), c.requests);
    }
    EXPECT_EQ(modem, 0x6001) << "line status 60, modem status 01";

    // Bytes in: the chip fetches what is queued, and libftdi strips the status bytes.
    Queue({0x06, 0x00, 0x03, 0x00, 0xD1});
    uint8_t buffer[64] = {};
    mark = link.Requests().size();
    EXPECT_EQ(ftdi_read_data(ftdi, buffer, sizeof buffer), 5);
    EXPECT_EQ(HexText(buffer, 5), "06 00 03 00 D1");
    std::vector<std::string> read = Since(mark);
    ASSERT_GE(read.size(), 2u);
    EXPECT_THAT(std::vector<std::string>(read.begin(), read.begin() + 2),
                ElementsAre("GET_STATUS", "READ 05 00 00 00"));

    mark = link.Requests().size();
    EXPECT_EQ(ftdi_usb_close(ftdi), 0);
    EXPECT_THAT(Since(mark), ElementsAre("CLOSE"));
}

TEST_F(OverScriptedLink, ReadingTheStringsTakesNoConverter)
{
    ftdi_device_list* list = nullptr;
    ASSERT_EQ(ftdi_usb_find_all(ftdi, &list, 0x0403, 0x6001), 1);
    char manufacturer[64], product[64], serial[64];
    ASSERT_EQ(ftdi_usb_get_strings(ftdi, list->dev, manufacturer, 64, product, 64, serial, 64), 0)
        << ftdi_get_error_string(ftdi);
    EXPECT_STREQ(manufacturer, "FTDI");
    EXPECT_STREQ(product, "Vantorelle");
    EXPECT_STREQ(serial, "VU000001");
    ftdi_list_free(&list);
    EXPECT_EQ(ftdi_usb_find_all(ftdi, &list, 0x0403, 0x6015), 0) << "an FT232R only";
    for (const std::string& r : Since(0))
        EXPECT_TRUE(r.rfind("LIST_COUNT", 0) == 0 || r.rfind("GET_DESCRIPTION", 0) == 0) << r;
}

// ---- the machine behind it ----

class OverMachineSim : public OverUsb {
protected:
    void Start(std::initializer_list<const char*> descriptions)
    {
        SimDevices devices;
        for (const char* text : descriptions)
            devices.push_back(std::make_unique<CSimDevice>(text, MachineState::Healthy()));
        server = std::make_unique<CLinkServer>(std::move(devices));
        std::string error;
        ASSERT_TRUE(server->Start(net::InetAddr("127.0.0.1"), 0, &error)) << error;
        PointAt(server->Address());
    }
    void TearDown() override
    {
        OverUsb::TearDown();
        if (server)
            server->Stop();
    }
    // Something the machine shows, read while no request is being handled.
    template <typename F>
    auto Machine(F f)
    {
        decltype(f(std::declval<MachineModel&>())) value{};
        server->WithDevices([&](SimDevices& d) { value = f(d[0]->Model()); });
        return value;
    }
    uint32_t HostBaud() { return Machine([](MachineModel& m) { return m.HostBaud(); }); }
    uint32_t Restarts() { return Machine([](MachineModel& m) { return m.RestartCount(); }); }
    MachineModel::Mode Mode() { return Machine([](MachineModel& m) { return m.CurrentMode(); }); }
    FT_HANDLE Open(const char* description = "Vantorelle")
    {
        FT_HANDLE h = nullptr;
        EXPECT_EQ(driver->OpenByDescription(description, &h), FT_OK);
        return h;
    }
    // The pulse that restarts the machine, as the link sends it.
    void Pulse(FT_HANDLE h, bool inBreak)
    {
        EXPECT_EQ(driver->ResetDevice(h), FT_OK);
        EXPECT_EQ(driver->SetBitMode(h, 0xF1, FT_BITMODE_CBUS_BITBANG), FT_OK);
        EXPECT_EQ(driver->SetBitMode(h, 0xF5, FT_BITMODE_CBUS_BITBANG), FT_OK);
        if (inBreak) {
            EXPECT_EQ(driver->SetBreakOn(h), FT_OK);
        }
        EXPECT_EQ(driver->SetBitMode(h, 0xF1, FT_BITMODE_CBUS_BITBANG), FT_OK);
        if (inBreak) {
            EXPECT_EQ(driver->SetBreakOff(h), FT_OK);
        }
        EXPECT_EQ(driver->Purge(h, FT_PURGE_RX), FT_OK);
    }
    // Waits for `count` bytes, the way the link will: the receive wait, then a read.
    std::vector<uint8_t> Receive(FT_HANDLE h, size_t count)
    {
        std::vector<uint8_t> got;
        const Clock::time_point start = Clock::now();
        while (got.size() < count && MsSince(start) < 2000) {
            uint32_t queued = 0;
            if (driver->WaitReceive(h, 100, &queued) != FT_OK || queued == 0)
                continue;
            std::vector<uint8_t> bytes(queued);
            uint32_t n = 0;
            EXPECT_EQ(driver->Read(h, bytes.data(), queued, &n), FT_OK);
            got.insert(got.end(), bytes.begin(), bytes.begin() + n);
        }
        return got;
    }

    std::unique_ptr<CLinkServer> server;
};

TEST_F(OverMachineSim, TheBackEndListsAndOpensTheSimulatorsConverters)
{
    Start({"Vantorelle", "MOX"});
    std::vector<std::string> names;
    ASSERT_EQ(driver->ListDescriptions(&names), FT_OK);
    EXPECT_THAT(names, ElementsAre("Vantorelle", "MOX"));
    uint32_t count = 0;
    ASSERT_EQ(driver->ListDevicesCount(&count), FT_OK);
    EXPECT_EQ(count, 2u);

    FT_HANDLE mox = Open("MOX");
    server->WithDevices([](SimDevices& d) {
        EXPECT_FALSE(d[0]->IsOpen());
        EXPECT_TRUE(d[1]->IsOpen());
        EXPECT_EQ(d[1]->LatencyMs(), CLibFtdiDriver::LATENCY_TIMER_MS) << "the back end's timer reached the machine's side";
    });
    FT_HANDLE second = nullptr;
    EXPECT_NE(driver->OpenByDescription("MOX", &second), FT_OK) << "a converter is taken once";
    EXPECT_EQ(driver->Close(mox), FT_OK);
    server->WithDevices([](SimDevices& d) { EXPECT_FALSE(d[1]->IsOpen()); });
}

TEST_F(OverMachineSim, WithoutASimulatorThereIsNoConverter)
{
    uint32_t count = 7;
    EXPECT_EQ(driver->ListDevicesCount(&count), FT_OK);
    EXPECT_EQ(count, 0u) << "VANTORELLE_USB_SIMULATOR unset";

    driver = std::make_unique<CLibFtdiDriver>(CreateLibFtdi());
    PointAt("127.0.0.1:" + std::to_string(vu::test::UnusedLoopbackPort()));
    count = 7;
    EXPECT_EQ(driver->ListDevicesCount(&count), FT_OK);
    EXPECT_EQ(count, 0u) << "nothing listening";
}

TEST_F(OverMachineSim, LibftdisDivisorsGiveTheMachineTheRateTheChipRunsAt)
{
    Start({"Vantorelle"});
    ftdi_context* ftdi = ftdi_new();
    ASSERT_EQ(ftdi_usb_open_desc(ftdi, 0x0403, 0x6001, "Vantorelle", nullptr), 0) << ftdi_get_error_string(ftdi);
    for (uint32_t wanted : {300u, 1200u, 9600u, 19200u, 38400u, 57600u, 115200u, 230400u, 250000u, 460800u, 490000u,
                            500000u, 921600u, 1000000u, 1500000u, 2000000u, 3000000u}) {
        SCOPED_TRACE(wanted);
        ASSERT_EQ(ftdi_set_baudrate(ftdi, int(wanted)), 0) << ftdi_get_error_string(ftdi);
        const uint32_t seen = HostBaud();
        EXPECT_EQ(seen, ClosestChipRate(wanted));
        EXPECT_LE(std::fabs(double(seen) - wanted), wanted * 0.03) << "within what a UART tolerates";
    }
    // A rate the chip cannot come near: libftdi refuses it, the line stays as it was.
    EXPECT_LT(ftdi_set_baudrate(ftdi, 2500000), 0);
    EXPECT_EQ(HostBaud(), 3000000u);

    // libftdi multiplies the rate by four once a bit mode is set, CBUS bit-bang
    // included, while the UART beside the CBUS pins goes on at its own rate.
    ASSERT_EQ(ftdi_set_baudrate(ftdi, 115200), 0);
    ASSERT_EQ(ftdi_set_bitmode(ftdi, 0xF1, BITMODE_CBUS), 0);
    ASSERT_EQ(ftdi_set_baudrate(ftdi, 115200), 0);
    EXPECT_EQ(HostBaud(), 461538u) << "libftdi's own rule: 4 x 115200";
    ftdi_free(ftdi);

    // The back end sets the rate asked for, whatever the pins do.
    FT_HANDLE h = Open();
    EXPECT_EQ(driver->SetBitMode(h, 0xF1, FT_BITMODE_CBUS_BITBANG), FT_OK);
    EXPECT_EQ(driver->SetBaudRate(h, 115200), FT_OK);
    EXPECT_EQ(HostBaud(), 115385u);
    EXPECT_EQ(driver->SetBaudRate(h, 2000000), FT_OK);
    EXPECT_EQ(HostBaud(), 2000000u);
    EXPECT_EQ(driver->Close(h), FT_OK);
}

TEST_F(OverMachineSim, TheCbusPulseRestartsTheMachineAndACommandGetsItsReply)
{
    Start({"Vantorelle"});
    FT_HANDLE h = Open();
    ASSERT_EQ(driver->SetDataCharacteristics(h, 8, 0, 0), FT_OK);
    ASSERT_EQ(driver->SetBaudRate(h, 115200), FT_OK);
    const uint32_t restarts = Restarts();

    Pulse(h, true); // in break: the boot loader
    EXPECT_EQ(Restarts(), restarts + 1);
    EXPECT_EQ(Mode(), MachineModel::Mode::BootLoader);
    EXPECT_FALSE(Machine([](MachineModel& m) { return m.InBreak(); }));

    uint32_t written = 0;
    ASSERT_EQ(driver->Write(h, DEVICE_ID_FRAME, sizeof DEVICE_ID_FRAME, &written), FT_OK);
    EXPECT_EQ(written, sizeof DEVICE_ID_FRAME);
    const MachineState healthy = MachineState::Healthy();
    std::vector<uint8_t> payload{0xD1, 0x00};
    payload.insert(payload.end(), healthy.identity.begin(), healthy.identity.end());
    EXPECT_EQ(HexText(Receive(h, 15)), HexText(vu::test::MakeFrame(payload)));

    Pulse(h, false); // no break: a normal start
    EXPECT_EQ(Restarts(), restarts + 2);
    EXPECT_EQ(Mode(), MachineModel::Mode::Normal);
    EXPECT_EQ(driver->Close(h), FT_OK);
}

TEST_F(OverMachineSim, LibftdisAsynchronousTransfersCarryACommandAndItsReply)
{
    Start({"Vantorelle"});
    ftdi_context* ftdi = ftdi_new();
    ASSERT_EQ(ftdi_usb_open_desc(ftdi, 0x0403, 0x6001, "Vantorelle", nullptr), 0) << ftdi_get_error_string(ftdi);
    ASSERT_EQ(ftdi_set_latency_timer(ftdi, 2), 0);
    ASSERT_EQ(ftdi_set_baudrate(ftdi, 115200), 0);
    ASSERT_EQ(ftdi_set_bitmode(ftdi, 0xF1, BITMODE_CBUS), 0);
    ASSERT_EQ(ftdi_set_bitmode(ftdi, 0xF5, BITMODE_CBUS), 0);
    ASSERT_EQ(ftdi_set_line_property2(ftdi, BITS_8, STOP_BIT_1, NONE, BREAK_ON), 0);
    ASSERT_EQ(ftdi_set_bitmode(ftdi, 0xF1, BITMODE_CBUS), 0);
    ASSERT_EQ(ftdi_set_line_property2(ftdi, BITS_8, STOP_BIT_1, NONE, BREAK_OFF), 0);
    ASSERT_EQ(ftdi_tciflush(ftdi), 0);
    ASSERT_EQ(Mode(), MachineModel::Mode::BootLoader);

    uint8_t frame[sizeof DEVICE_ID_FRAME];
    std::memcpy(frame, DEVICE_ID_FRAME, sizeof frame);
    ftdi_transfer_control* out = ftdi_write_data_submit(ftdi, frame, sizeof frame);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(ftdi_transfer_data_done(out), int(sizeof frame));
    uint8_t reply[15] = {};
    ftdi_transfer_control* in = ftdi_read_data_submit(ftdi, reply, sizeof reply);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(ftdi_transfer_data_done(in), int(sizeof reply));
    EXPECT_EQ(HexText(reply, 6), "0F 00 0A 00 D1 00");
    ftdi_free(ftdi);
}

TEST_F(OverMachineSim, TheReceiveWaitReturnsWhenTheTimeHasPassed)
{
    Start({"Vantorelle"});
    FT_HANDLE h = Open();
    uint32_t queued = 99;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(driver->WaitReceive(h, 60, &queued), FT_OK);
    EXPECT_EQ(queued, 0u);
    EXPECT_GE(MsSince(start), 59u); // the driver counts whole milliseconds of its tick
    EXPECT_EQ(driver->Close(h), FT_OK);
}

TEST_F(OverMachineSim, AStalledConverterHoldsAPollForOneReadsTimeOutNotLibftdisFiveSeconds)
{
    Start({"Vantorelle"});
    setenv("VANTORELLE_USB_FAULT", "stall-in", 1);
    FT_HANDLE h = Open();
    uint32_t queued = 99;
    Clock::time_point start = Clock::now();
    EXPECT_EQ(driver->GetStatus(h, &queued, nullptr, nullptr), FT_IO_ERROR);
    uint32_t took = MsSince(start);
    EXPECT_GE(took, uint32_t(CLibFtdiDriver::LATENCY_TIMER_MS + CLibFtdiDriver::USB_READ_MARGIN_MS));
    EXPECT_LT(took, 2500u);

    start = Clock::now();
    EXPECT_EQ(driver->WaitReceive(h, 10000, &queued), FT_IO_ERROR);
    EXPECT_LT(MsSince(start), 2500u) << "a stalled converter does not hold the wait to its end";
    EXPECT_EQ(driver->Close(h), FT_OK);
}

} // namespace
