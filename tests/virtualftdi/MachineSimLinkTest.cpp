// The simulator's side of the virtual FTDI link: the answers to requests in
// the wrong state or of the wrong shape, which device an open finds, what a
// pulled cable does, and the device link driving the machine through the
// simulator driver over TCP.
#include "device/MachineLink.h"
#include "device/VirtualFtdiClient.h"
#include "platform/LittleEndian.h"
#include "platform/Platform.h"
#include "sim/machine-sim/LinkServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

using namespace vu;
using namespace vu::sim;

namespace {

using Bytes = std::vector<uint8_t>;

SimDevices Devices(std::initializer_list<const char*> descriptions, SimTiming timing = {})
{
    SimDevices d;
    for (const char* text : descriptions)
        d.push_back(std::make_unique<CSimDevice>(text, MachineState::Healthy(), timing));
    return d;
}

Bytes Text(const char* s) { return Bytes(s, s + std::strlen(s)); }

Bytes U32(uint32_t v)
{
    Bytes b;
    AppendLe32(b, v);
    return b;
}

// Devices whose machines wait in their boot loaders, as EnterBios leaves them.
SimDevices LoaderDevices(std::initializer_list<const char*> descriptions, SimTiming timing = {})
{
    SimDevices d = Devices(descriptions, timing);
    for (auto& device : d) {
        device->Open(0);
        device->SetBitMode(0xF1, 0x20, 0);
        device->SetBitMode(0xF5, 0x20, 0);
        device->SetBreak(true, 0);
        device->SetBitMode(0xF1, 0x20, 0);
        device->SetBreak(false, 0);
        device->Close(0);
    }
    return d;
}

// The identity request; its answer is 15 bytes.
const Bytes IDENTITY_REQUEST = {0x06, 0x00, 0x01, 0x00, 0xD1, 0xD6};

// Waits for and reads a whole answer of `wanted` bytes; the converter may
// hand it over in two parts when its timer runs out in the middle.
Bytes ReadAnswer(CVirtualFtdiClient& client, FT_HANDLE h, size_t wanted)
{
    Bytes got;
    for (int i = 0; i < 4 && got.size() < wanted; ++i) {
        uint32_t rx = 0, n = 0;
        if (client.WaitReceive(h, 5000, &rx) != FT_OK || rx == 0)
            break;
        uint8_t buf[64];
        if (client.Read(h, buf, sizeof buf, &n) != FT_OK)
            break;
        got.insert(got.end(), buf, buf + n);
    }
    return got;
}

using Clock = std::chrono::steady_clock;

uint64_t ElapsedMs(Clock::time_point since)
{
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

struct StartedServer {
    explicit StartedServer(SimDevices devices) : server(std::move(devices))
    {
        net::Startup();
        std::string error;
        started = server.Start(net::InetAddr("127.0.0.1"), 0, &error);
    }
    ~StartedServer()
    {
        server.Stop();
        net::Cleanup();
    }
    CLinkServer server;
    bool started = false;
};

// Opens "Vantorelle" as soon as the simulator has let go of it (within a second).
bool OpenOnceFree(CVirtualFtdiClient& client, FT_HANDLE* h)
{
    for (int i = 0; i < 200; ++i) {
        if (client.OpenByDescription("Vantorelle", h) == FT_OK)
            return true;
        RealSystem().Sleep(5);
    }
    return false;
}

// A simulator on loopback and a client holding its device "Vantorelle" open.
struct OpenedDevice {
    explicit OpenedDevice(SimDevices devices) : sim(std::move(devices)), client(sim.server.Address())
    {
        opened = sim.started && client.OpenByDescription("Vantorelle", &h) == FT_OK;
    }
    StartedServer sim;
    CVirtualFtdiClient client;
    FT_HANDLE h = nullptr;
    bool opened = false;
};

} // namespace

TEST(MachineSimLink, RequestsInTheWrongStateOrShape)
{
    struct Case {
        const char* name;
        bool open;          // sent on a connection that holds the device
        uint8_t op;
        Bytes payload;
        uint32_t status;
        size_t answerLength;
    };
    const std::vector<Case> cases = {
        {"count on an idle connection", false, VFTDI_LIST_COUNT, {}, FT_OK, 4},
        {"count with a payload", false, VFTDI_LIST_COUNT, {1}, FT_NOT_SUPPORTED, 0},
        {"unknown op on an idle connection", false, 0x42, {1, 2}, FT_NOT_SUPPORTED, 0},
        {"unknown op on an open device", true, 0x12, {}, FT_NOT_SUPPORTED, 0},
        {"device call on an idle connection", false, VFTDI_SET_BAUD_RATE, {0, 0xC2, 1, 0}, FT_DEVICE_NOT_OPENED, 0},
        {"read on an idle connection", false, VFTDI_READ, {1, 0, 0, 0}, FT_DEVICE_NOT_OPENED, 0},
        {"count on an open device", true, VFTDI_LIST_COUNT, {}, FT_DEVICE_NOT_OPENED, 0},
        {"open on an open device", true, VFTDI_OPEN_BY_DESCRIPTION, Text("Vantorelle"), FT_DEVICE_NOT_OPENED, 0},
        {"baud rate of 3 bytes", true, VFTDI_SET_BAUD_RATE, {0, 0xC2, 1}, FT_NOT_SUPPORTED, 0},
        {"bit mode of 1 byte", true, VFTDI_SET_BIT_MODE, {0xF1}, FT_NOT_SUPPORTED, 0},
        {"queue status with a payload", true, VFTDI_GET_STATUS, {0}, FT_NOT_SUPPORTED, 0},
        {"queue status", true, VFTDI_GET_STATUS, {}, FT_OK, 12},
        {"read of nothing queued", true, VFTDI_READ, {100, 0, 0, 0}, FT_OK, 0},
        {"write", true, VFTDI_WRITE, {1, 2, 3}, FT_OK, 4},
        {"latency below range", true, VFTDI_SET_LATENCY_TIMER, {1}, FT_NOT_SUPPORTED, 0},
        {"latency", true, VFTDI_SET_LATENCY_TIMER, {2}, FT_OK, 0},
        {"rate beyond the converter", true, VFTDI_SET_BAUD_RATE, {0, 0x09, 0x3D, 0}, 7, 0},
        {"close on an idle connection", false, VFTDI_CLOSE, {}, FT_DEVICE_NOT_OPENED, 0},
        {"event character of 3 bytes", true, VFTDI_SET_CHARS, {0xDF, 1, 0}, FT_NOT_SUPPORTED, 0},
        {"event character", true, VFTDI_SET_CHARS, {0xDF, 1, 0, 0}, FT_OK, 0},
        {"description of an open device", false, VFTDI_GET_DESCRIPTION, U32(0), FT_OK, 10},
        {"description past the last device", false, VFTDI_GET_DESCRIPTION, U32(1), FT_DEVICE_NOT_FOUND, 0},
        {"description on an open device", true, VFTDI_GET_DESCRIPTION, U32(0), FT_DEVICE_NOT_OPENED, 0},
        {"description of a 1-byte index", false, VFTDI_GET_DESCRIPTION, {0}, FT_NOT_SUPPORTED, 0},
        {"receive wait on an idle connection", false, VFTDI_WAIT_RECEIVE, U32(0), FT_DEVICE_NOT_OPENED, 0},
        {"receive wait of 3 bytes", true, VFTDI_WAIT_RECEIVE, {0, 0, 0}, FT_NOT_SUPPORTED, 0},
        {"receive wait over a minute", true, VFTDI_WAIT_RECEIVE, U32(60001), FT_NOT_SUPPORTED, 0},
        {"receive wait of no time", true, VFTDI_WAIT_RECEIVE, U32(0), FT_OK, 4},
        {"receive wait that runs out", true, VFTDI_WAIT_RECEIVE, U32(20), FT_OK, 4},
    };
    CLinkServer server(Devices({"Vantorelle"}));
    CSimDevice* device = nullptr;
    Bytes answer;
    bool closeAfter = false;
    ASSERT_EQ(server.Handle(&device, VFTDI_OPEN_BY_DESCRIPTION, Text("Vantorelle"), &answer, &closeAfter), FT_OK);
    ASSERT_NE(device, nullptr);
    CSimDevice* const opened = device;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CSimDevice* d = c.open ? opened : nullptr;
        answer.clear();
        EXPECT_EQ(server.Handle(&d, c.op, c.payload, &answer, &closeAfter), c.status);
        EXPECT_EQ(answer.size(), c.answerLength);
        EXPECT_FALSE(closeAfter);
        EXPECT_EQ(d, c.open ? opened : nullptr) << "the connection's state is unchanged";
    }
    EXPECT_EQ(opened->LatencyMs(), 2u) << "the latency timer in range reached the converter, the other did not";
    EXPECT_EQ(server.Handle(&device, VFTDI_CLOSE, {}, &answer, &closeAfter), FT_OK);
    EXPECT_TRUE(closeAfter);
    EXPECT_EQ(device, nullptr);
}

TEST(MachineSimLink, OpenFindsTheFirstFreeDeviceWithExactlyThatDescription)
{
    StartedServer s(Devices({"MOX", "Vantorelle", "Vantorelle"}));
    ASSERT_TRUE(s.started);
    CVirtualFtdiClient client(s.server.Address());
    uint32_t count = 0;
    EXPECT_EQ(client.ListDevicesCount(&count), FT_OK);
    EXPECT_EQ(count, 3u);

    FT_HANDLE a = nullptr, b = nullptr, c = nullptr;
    EXPECT_EQ(client.OpenByDescription("Vantorell", &a), FT_DEVICE_NOT_FOUND) << "no prefix match";
    EXPECT_EQ(client.OpenByDescription("Vantorelle", &a), FT_OK);
    EXPECT_EQ(client.OpenByDescription("Vantorelle", &b), FT_OK);
    EXPECT_EQ(client.OpenByDescription("Vantorelle", &c), FT_DEVICE_NOT_FOUND) << "both are open";
    EXPECT_EQ(client.ListDevicesCount(&count), FT_OK);
    EXPECT_EQ(count, 3u) << "open devices are still attached";
    std::vector<std::string> listed;
    EXPECT_EQ(client.ListDescriptions(&listed), FT_OK);
    EXPECT_EQ(listed, (std::vector<std::string>{"MOX", "Vantorelle", "Vantorelle"}));

    // Each handle reaches its own device.
    s.server.WithDevices([](SimDevices& d) {
        EXPECT_FALSE(d[0]->IsOpen());
        EXPECT_TRUE(d[1]->IsOpen());
        EXPECT_TRUE(d[2]->IsOpen());
    });
    EXPECT_EQ(client.SetBaudRate(b, 2000000), FT_OK);
    EXPECT_EQ(client.Close(a), FT_OK);
    s.server.WithDevices([](SimDevices& d) {
        EXPECT_FALSE(d[1]->IsOpen());
        EXPECT_EQ(d[2]->Model().HostBaud(), 2000000u);
    });
    EXPECT_EQ(client.OpenByDescription("Vantorelle", &c), FT_OK) << "the closed one is free again";
    EXPECT_EQ(client.Close(b), FT_OK);
    EXPECT_EQ(client.Close(c), FT_OK);
}

TEST(MachineSimLink, ConnectionEndingWithoutCloseFreesTheDevice)
{
    StartedServer s(Devices({"Vantorelle"}));
    ASSERT_TRUE(s.started);
    {
        CVirtualFtdiClient client(s.server.Address());
        FT_HANDLE h = nullptr;
        ASSERT_EQ(client.OpenByDescription("Vantorelle", &h), FT_OK);
        // The client goes away with the handle still open: the cable is pulled.
    }
    CVirtualFtdiClient again(s.server.Address());
    FT_HANDLE h = nullptr;
    EXPECT_TRUE(OpenOnceFree(again, &h));
    EXPECT_EQ(again.Close(h), FT_OK);
}

TEST(MachineSimLink, MachineVanishingBreaksTheHandleUntilItReturns)
{
    SimTiming timing;
    timing.enabled = false;
    timing.replugMs = 300;
    SimDevices d = Devices({"Vantorelle"}, timing);
    MachineFault vanish;
    vanish.kind = MachineFault::Kind::Vanish;
    d[0]->Model().AddFault(0xD1, vanish);
    StartedServer s(std::move(d));
    ASSERT_TRUE(s.started);
    CVirtualFtdiClient client(s.server.Address());
    CMachineLink link(client, RealSystem());
    ASSERT_EQ(link.Open(), LINK_OK);
    ASSERT_EQ(link.EnterBios(), LINK_OK);
    uint8_t id[8];
    const uint8_t frame[] = {0x06, 0x00, 0x01, 0x00, 0xD1, 0xD6};
    uint32_t written = 0;
    link.WriteRaw(frame, sizeof frame, &written);
    uint32_t rx = 0;
    EXPECT_EQ(client.GetStatus(link.m_hDevice, &rx, nullptr, nullptr), FT_IO_ERROR);
    uint32_t count = 9;
    EXPECT_EQ(client.ListDevicesCount(&count), FT_OK);
    EXPECT_EQ(count, 0u) << "off the bus";
    link.Close();
    RealSystem().Sleep(350);
    EXPECT_EQ(client.ListDevicesCount(&count), FT_OK);
    EXPECT_EQ(count, 1u) << "back after the replug time";
    CMachineLink second(client, RealSystem());
    ASSERT_EQ(second.Open(), LINK_OK);
    ASSERT_EQ(second.EnterBios(), LINK_OK);
    EXPECT_EQ(second.GetDeviceId(id), LINK_OK);
    second.ResetMachine();
    second.Close();
}

TEST(MachineSimLink, DeviceLinkDrivesTheTimedMachineAndItsStateOutlastsConnections)
{
    StartedServer s(Devices({"Vantorelle"}));
    ASSERT_TRUE(s.started);
    CVirtualFtdiClient client(s.server.Address());
    {
        CMachineLink link(client, RealSystem(), LINK_HIGH_BAUD);
        ASSERT_EQ(link.Open(), LINK_OK);
        ASSERT_EQ(link.EnterBios(), LINK_OK);
        uint8_t id[8] = {};
        EXPECT_EQ(link.GetDeviceId(id), LINK_OK);
        MachineState healthy = MachineState::Healthy();
        EXPECT_EQ(Bytes(id, id + 8), Bytes(healthy.identity.begin(), healthy.identity.end()));
        uint8_t text[255] = {};
        EXPECT_EQ(link.ReadInfoItem(1, text), LINK_OK);
        EXPECT_STREQ(reinterpret_cast<char*>(text), "V2.13");
        const uint8_t value[5] = {'V', '9', '.', '9', '9'};
        EXPECT_EQ(link.WriteInfoItem(value), LINK_OK);
        EXPECT_EQ(link.BeginDataWrite(), LINK_OK);
        Bytes sector(1000, 0xC3);
        EXPECT_EQ(link.WriteDataSectors(1024, sector.data(), int(sector.size())), LINK_OK);
        EXPECT_EQ(link.EndDataWrite(), LINK_OK);
        link.ResetMachine();
        link.Close();
    }
    {
        CMachineLink link(client, RealSystem());
        ASSERT_EQ(link.Open(), LINK_OK);
        ASSERT_EQ(link.EnterBios(), LINK_OK);
        uint8_t text[255] = {};
        EXPECT_EQ(link.ReadInfoItem(6, text), LINK_OK);
        EXPECT_STREQ(reinterpret_cast<char*>(text), "V9.99");
        link.ResetMachine();
        link.Close();
    }
    s.server.WithDevices([](SimDevices& d) {
        EXPECT_EQ(d[0]->Model().Image(1024, 1000), Bytes(1000, 0xC3));
        EXPECT_EQ(d[0]->Model().Image(2024, 24), Bytes(24, 0)) << "the sector's tail is padded";
        EXPECT_EQ(d[0]->Tally().imageBytes, 1024u);
        EXPECT_EQ(d[0]->Tally().itemWrites, 1u);
        EXPECT_FALSE(d[0]->IsOpen());
    });
    EXPECT_EQ(s.server.Accepted(), 2) << "each open takes the idle connection it counted on";
}

TEST(MachineSimLink, ReceiveWaitSleepsUntilTheConverterHandsBytesOver)
{
    CLinkServer server(LoaderDevices({"Vantorelle"}));
    CSimDevice* device = nullptr;
    Bytes answer;
    bool closeAfter = false;
    ASSERT_EQ(server.Handle(&device, VFTDI_OPEN_BY_DESCRIPTION, Text("Vantorelle"), &answer, &closeAfter), FT_OK);
    ASSERT_EQ(server.Handle(&device, VFTDI_SET_BAUD_RATE, U32(115200), &answer, &closeAfter), FT_OK);
    answer.clear();
    const uint64_t start = server.NowUs();
    ASSERT_EQ(server.Handle(&device, VFTDI_WRITE, IDENTITY_REQUEST, &answer, &closeAfter), FT_OK);

    // The short answer waits for the 16 ms latency timer; the wait sleeps until
    // exactly then, not in ticks and not to its own limit of 5 s.
    std::vector<uint64_t> wakes;
    const CLinkServer::WaitFn sleep = [&](uint64_t untilUs) {
        wakes.push_back(untilUs);
        uint64_t now = server.NowUs();
        if (untilUs > now)
            std::this_thread::sleep_for(std::chrono::microseconds(untilUs - now));
        return true;
    };
    answer.clear();
    EXPECT_EQ(server.Handle(&device, VFTDI_WAIT_RECEIVE, U32(5000), &answer, &closeAfter, sleep), FT_OK);
    ASSERT_EQ(answer.size(), 4u);
    EXPECT_GE(GetLe32(answer.data()), 1u) << "all 15, or the part before a timer expiry";
    ASSERT_FALSE(wakes.empty());
    EXPECT_LE(wakes.size(), 2u) << "one sleep to the hand-over (and one more if woken a hair early)";
    EXPECT_GT(wakes[0], start);
    EXPECT_LE(wakes[0], start + 16'000 + 5'000);

    // A connection that wants attention ends the wait at once, with the count as it stands.
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    int asked = 0;
    answer.clear();
    EXPECT_EQ(server.Handle(&device, VFTDI_WAIT_RECEIVE, U32(60000), &answer, &closeAfter,
                            [&](uint64_t) { return ++asked, false; }),
              FT_OK);
    EXPECT_EQ(answer, U32(15));
    EXPECT_EQ(asked, 0) << "bytes are queued: no sleep at all";
    Bytes read;
    ASSERT_EQ(server.Handle(&device, VFTDI_READ, U32(100), &read, &closeAfter), FT_OK);
    answer.clear();
    EXPECT_EQ(server.Handle(&device, VFTDI_WAIT_RECEIVE, U32(60000), &answer, &closeAfter,
                            [&](uint64_t) { return ++asked, false; }),
              FT_OK);
    EXPECT_EQ(answer, U32(0));
    EXPECT_EQ(asked, 1);
}

TEST(MachineSimLink, ReceiveWaitAnswersEarlyWhenBytesArriveAndAtItsLimitOtherwise)
{
    OpenedDevice d(LoaderDevices({"Vantorelle"}));
    ASSERT_TRUE(d.opened);
    CVirtualFtdiClient& client = d.client;
    const FT_HANDLE h = d.h;
    ASSERT_EQ(client.SetBaudRate(h, 115200), FT_OK);
    uint32_t n = 0;
    ASSERT_EQ(client.Write(h, IDENTITY_REQUEST.data(), uint32_t(IDENTITY_REQUEST.size()), &n), FT_OK);

    Clock::time_point started = Clock::now();
    uint32_t rx = 0;
    EXPECT_EQ(client.WaitReceive(h, 20000, &rx), FT_OK);
    EXPECT_GE(rx, 1u);
    EXPECT_LT(ElapsedMs(started), 10000u) << "answered when the bytes came, long before its limit";
    EXPECT_EQ(ReadAnswer(client, h, 15).size(), 15u);

    started = Clock::now();
    EXPECT_EQ(client.WaitReceive(h, 80, &rx), FT_OK);
    EXPECT_EQ(rx, 0u);
    EXPECT_GE(ElapsedMs(started), 80u) << "nothing came: the whole time passed";
    EXPECT_EQ(client.Close(h), FT_OK);
}

TEST(MachineSimLink, WaitingConnectionDoesNotHoldUpTheOthers)
{
    OpenedDevice d(LoaderDevices({"Vantorelle", "MOX"}));
    ASSERT_TRUE(d.opened);
    CVirtualFtdiClient& waiter = d.client;
    const FT_HANDLE h = d.h;
    std::atomic<bool> waitDone{false};
    uint32_t rx = 99;
    FT_STATUS waited = FT_OTHER_ERROR;
    std::thread t([&] {
        waited = waiter.WaitReceive(h, 3000, &rx);
        waitDone = true;
    });
    RealSystem().Sleep(100);

    // Another host counts, lists, opens the other device and drives it while the wait is in flight.
    CVirtualFtdiClient other(d.sim.server.Address());
    uint32_t count = 0;
    EXPECT_EQ(other.ListDevicesCount(&count), FT_OK);
    EXPECT_EQ(count, 2u);
    std::vector<std::string> listed;
    EXPECT_EQ(other.ListDescriptions(&listed), FT_OK);
    FT_HANDLE g = nullptr;
    ASSERT_EQ(other.OpenByDescription("MOX", &g), FT_OK);
    EXPECT_EQ(other.SetBaudRate(g, 115200), FT_OK);
    uint32_t n = 0;
    EXPECT_EQ(other.Write(g, IDENTITY_REQUEST.data(), uint32_t(IDENTITY_REQUEST.size()), &n), FT_OK);
    EXPECT_EQ(ReadAnswer(other, g, 15).size(), 15u);
    EXPECT_EQ(other.Close(g), FT_OK);
    EXPECT_FALSE(waitDone) << "the first wait is still in flight";

    t.join();
    EXPECT_EQ(waited, FT_OK);
    EXPECT_EQ(rx, 0u);
    EXPECT_EQ(waiter.Close(h), FT_OK);
}

TEST(MachineSimLink, PendingWaitEndsWithTheHostOrTheServer)
{
    StartedServer s(Devices({"Vantorelle"}));
    ASSERT_TRUE(s.started);
    uint32_t addr = 0;
    uint16_t port = 0;
    ASSERT_TRUE(ParseSimulatorAddress(s.server.Address(), &addr, &port));

    // A host that hangs up in the middle of a minute's wait: a pulled cable, the device is free at once.
    net::SocketHandle raw = net::TcpSocket();
    ASSERT_EQ(net::Connect(raw, addr, port), 0);
    const Bytes name = Text("Vantorelle");
    uint32_t status = 99, length = 0;
    ASSERT_TRUE(vftdi::SendRequest(raw, VFTDI_OPEN_BY_DESCRIPTION, name.data(), uint32_t(name.size())));
    ASSERT_TRUE(vftdi::RecvAnswer(raw, &status, nullptr, 0, &length));
    ASSERT_EQ(status, FT_OK);
    const Bytes minute = U32(60000);
    ASSERT_TRUE(vftdi::SendRequest(raw, VFTDI_WAIT_RECEIVE, minute.data(), 4));
    RealSystem().Sleep(50);
    net::CloseSocket(raw);

    CVirtualFtdiClient client(s.server.Address());
    FT_HANDLE h = nullptr;
    ASSERT_TRUE(OpenOnceFree(client, &h)) << "the device is still held by the hung-up wait";

    // Stopping the simulator ends a wait in flight instead of waiting it out.
    FT_STATUS waited = FT_OK;
    std::thread t([&] {
        uint32_t rx = 0;
        waited = client.WaitReceive(h, 60000, &rx);
    });
    RealSystem().Sleep(100);
    Clock::time_point started = Clock::now();
    s.server.Stop();
    t.join();
    EXPECT_LT(ElapsedMs(started), 10000u);
    EXPECT_EQ(waited, FT_IO_ERROR);
    EXPECT_EQ(client.Close(h), FT_OK);
}

TEST(MachineSimLink, ReceiveWaitLongerThanTheAnswerLimitIsNotCutShort)
{
    // The client gives an answer 15 s; a wait's own time comes on top of that.
    OpenedDevice d(Devices({"Vantorelle"}));
    ASSERT_TRUE(d.opened);
    uint32_t rx = 99;
    EXPECT_EQ(d.client.WaitReceive(d.h, VFTDI_ANSWER_TIMEOUT_MS + 500, &rx), FT_OK);
    EXPECT_EQ(rx, 0u);
    EXPECT_EQ(d.client.SetBaudRate(d.h, 115200), FT_OK) << "and the handle goes on";
    EXPECT_EQ(d.client.Close(d.h), FT_OK);
}
