// The console commands against the in-process machine model and a loopback
// reference server, on the virtual clock; the command line and exit statuses.
#include "device/FtdiDriver.h"
#include "device/VirtualFtdiClient.h"
#include "engine/EngineContext.h"
#include "log/Log.h"
#include "platform/LittleEndian.h"
#include "platform/Socket.h"
#include "sim/machine/ModelDriver.h"
#include "sim/update-server/UpdateServer.h"
#include "tests/testsupport/NoDeviceDriver.h"
#include "tests/testsupport/TestSupport.h"
#include "tests/testsupport/VirtualSystem.h"
#include "ui/console/ConsoleApp.h"

#include <VuVersion.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace vu {
namespace {

class ConsoleAppTest : public ::testing::Test {
protected:
    ConsoleAppTest() : m_driver(m_clock), m_pDriver(&m_driver) {}

    void SetUp() override
    {
        m_content = sim::MakeDemoContent(3000, 5000);
        m_content.notes = {"V2.30 notes\r\n", "- new pictures\r\n"};
        m_server = std::make_unique<sim::UpdateServer>(m_content);
        std::string error;
        ASSERT_TRUE(m_server->Start(&error)) << error;
        m_server->ExportEnvironment();
        ResetLogIntervalForTesting();
    }

    void TearDown() override
    {
        if (m_server)
            m_server->Stop();
    }

    // The commands run on this driver from now on.
    void UseDriver(IFtdiDriver& driver) { m_pDriver = &driver; }

    int Run(std::vector<const char*> args)
    {
        args.insert(args.begin(), "vantorelle-update");
        std::ostringstream out, err;
        const EngineContext context{*m_pDriver, m_clock, {}};
        int status = RunConsole(int(args.size()), args.data(), out, err, false, context);
        m_out = out.str();
        m_err = err.str();
        return status;
    }

    bool ServerGot(const sim::Bytes& tag) const { return !m_server->RequestsFor(tag).empty(); }

    VirtualSystem m_clock;
    sim::ModelDriver m_driver;
    IFtdiDriver* m_pDriver;
    sim::UpdateContent m_content;
    std::unique_ptr<sim::UpdateServer> m_server;
    test::LogCapture m_log;
    std::string m_out, m_err;
};

const sim::Bytes VERSION_TAG{0x02, 0x01, 0x04};
const sim::Bytes FIRMWARE_TAG{0x02, 0x01, 0x01};
const sim::Bytes IMAGE_PART_TAG{0x02, 0x01, 0x02};
const sim::Bytes CARD_TAG{0x07, 0x42};

struct CommandCase {
    const char* name;
    std::vector<const char*> args;
    const char* finalLine;
    sim::Bytes tag; // asked of the server by the command itself
};

class ConsoleCommandTest : public ConsoleAppTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(ConsoleCommandTest, RunsTheVersionQueryThenTheCommandToSuccess)
{
    const CommandCase& c = GetParam();
    sim::MachineModel& machine = m_driver.Attach("Vantorelle");
    EXPECT_EQ(Run(c.args), CONSOLE_OK) << m_out << m_err;

    EXPECT_NE(m_out.find(c.finalLine), std::string::npos) << m_out;
    EXPECT_NE(m_out.find("Update notes:\n  V2.30 notes\n  - new pictures\n"), std::string::npos) << m_out;
    EXPECT_LT(m_out.find("Getting version info..."), m_out.find("Update notes:"));
    EXPECT_TRUE(ServerGot(VERSION_TAG));
    EXPECT_TRUE(ServerGot(c.tag));
    EXPECT_EQ(m_out.find('\r'), std::string::npos) << "plain output when not on a terminal";

    // The start line comes before every other line of the run.
    std::vector<std::wstring> lines = m_log.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), L"TAVRIN Automatic Key Cutting Machine V" VU_VERSION_WTEXT L" start");
    std::string file = test::ReadFileText(m_log.File());
    EXPECT_TRUE(file.substr(0, file.find("\r\n")).ends_with("|    -   ]TAVRIN Automatic Key Cutting Machine V" VU_VERSION_TEXT " start"));

    if (std::string(c.name) == "Update" || std::string(c.name) == "DefaultIsUpdate") {
        EXPECT_EQ(machine.Firmware(), m_content.firmware);
        EXPECT_NE(m_out.find("Machine information 1: V2.13\n"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ConsoleCommandTest,
    ::testing::Values(CommandCase{"Update", {"update"}, "\nUpdate success. (", FIRMWARE_TAG},
                      CommandCase{"DefaultIsUpdate", {}, "\nUpdate success. (", FIRMWARE_TAG},
                      CommandCase{"RepairData", {"repair-data"}, "\nRepair success. (", IMAGE_PART_TAG},
                      CommandCase{"RepairCard", {"repair-card"}, "\nRepair success. (", CARD_TAG},
                      CommandCase{"VersionInfo", {"version-info"}, "Update notes:", VERSION_TAG}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConsoleAppTest, FailuresExitWithOne)
{
    // No machine: the update fails after its attempts, the repairs after the probe.
    for (const char* command : {"update", "repair-data", "repair-card"}) {
        SCOPED_TRACE(command);
        EXPECT_EQ(Run({command}), CONSOLE_FAILED) << m_out;
        EXPECT_NE(m_out.find(" failed. ("), std::string::npos) << m_out;
    }
    // No version notes without a server.
    m_server->Stop();
    EXPECT_EQ(Run({"version-info"}), CONSOLE_FAILED) << m_out;
    EXPECT_EQ(m_out.find("Update notes:"), std::string::npos);
    EXPECT_NE(m_err.find("no version information"), std::string::npos);
}

TEST_F(ConsoleAppTest, UsageErrorsExitWithTwoAndRunNothing)
{
    const std::vector<std::vector<const char*>> wrong = {
        {"frobnicate"},
        {"update", "repair-data"},
        {"--simulator"},
        {"--simulator", "localhost"},
        {"--simulator", "127.0.0.1:0"},
        {"--simulator", "127.0.0.1:65536"},
        {"--simulator", ":7010"},
        {"--no-such-option"},
    };
    for (const auto& args : wrong) {
        SCOPED_TRACE(testing::PrintToString(args));
        EXPECT_EQ(Run(args), CONSOLE_USAGE);
        EXPECT_FALSE(m_err.empty());
    }
    EXPECT_TRUE(m_log.Lines().empty());
    EXPECT_TRUE(m_server->ProtocolRequests().empty());
}

TEST_F(ConsoleAppTest, HelpAndVersion)
{
    EXPECT_EQ(Run({"--version"}), CONSOLE_OK);
    EXPECT_EQ(m_out, "vantorelle-update " VU_VERSION_TEXT "\n");
    EXPECT_EQ(Run({"--help"}), CONSOLE_OK);
    for (const char* word : {"update", "repair-data", "repair-card", "version-info", "--simulator", "--list-devices"})
        EXPECT_NE(m_out.find(word), std::string::npos) << word;
    EXPECT_TRUE(m_server->ProtocolRequests().empty());
}

TEST_F(ConsoleAppTest, ListDevicesNamesTheOneTheToolWouldOpen)
{
    // The link's order of descriptions decides, not the order on the bus.
    m_driver.Attach("FT232R USB UART");
    m_driver.Attach("Vantorelle");
    m_driver.Attach("MOX");
    EXPECT_EQ(Run({"--list-devices"}), CONSOLE_OK);
    EXPECT_EQ(m_out, "Attached converters: 3\n  FT232R USB UART\n  Vantorelle\n  MOX\nThe tool would open: MOX\n");
    EXPECT_TRUE(m_server->ProtocolRequests().empty());
}

TEST_F(ConsoleAppTest, ListDevicesWithoutOneTheToolOpens)
{
    sim::ModelDriver other(m_clock);
    other.Attach("FT232R USB UART");
    UseDriver(other);
    EXPECT_EQ(Run({"--list-devices"}), CONSOLE_OK);
    EXPECT_NE(m_out.find("None of them is a converter the tool opens"), std::string::npos) << m_out;

    NoDeviceDriver none;
    UseDriver(none);
    EXPECT_EQ(Run({"--list-devices"}), CONSOLE_OK);
    EXPECT_EQ(m_out, "Attached converters: 0 (this driver does not give their descriptions)\n"
                     "The tool opens the first attached one described as, in this order: "
                     "\"Pexilant\", \"MOX\", \"DRAXO\", \"ZK4407\", \"Vantorelle\"\n");
}

// A simulator that answers one count of attached devices, on a port of its own.
class CountingSimulator {
public:
    explicit CountingSimulator(uint32_t count)
    {
        net::Startup();
        m_listener = net::TcpListen(net::InetAddr("127.0.0.1"), 0, &m_port);
        // A simulator that knows only LIST_COUNT: every other op is answered 17,
        // as by a simulator older than GET_DESCRIPTION.
        m_thread = std::thread([this, count] {
            net::SocketHandle s = net::Accept(m_listener);
            uint8_t request[VFTDI_REQUEST_HEADER];
            while (s != net::INVALID_SOCKET_HANDLE && net::RecvAll(s, request, sizeof request)) {
                std::vector<uint8_t> payload(GetLe32(request + 1));
                if (!payload.empty() && !net::RecvAll(s, payload.data(), payload.size()))
                    break;
                std::vector<uint8_t> answer;
                bool known = request[0] == VFTDI_LIST_COUNT;
                AppendLe32(answer, known ? FT_OK : FT_NOT_SUPPORTED);
                AppendLe32(answer, known ? 4 : 0);
                if (known)
                    AppendLe32(answer, count);
                net::SendAll(s, answer.data(), answer.size());
            }
            net::CloseSocket(s);
        });
    }
    ~CountingSimulator()
    {
        if (!net::WakeBlockedSocket(m_listener))
            net::CloseSocket(m_listener);
        m_thread.join();
        net::Cleanup();
    }
    std::string Address() const { return "127.0.0.1:" + std::to_string(m_port); }

private:
    net::SocketHandle m_listener;
    uint16_t m_port = 0;
    std::thread m_thread;
};

TEST_F(ConsoleAppTest, SimulatorOptionPutsTheSimulatorInPlaceOfTheDriver)
{
    m_driver.Attach("Vantorelle");
    CountingSimulator simulator(3);
    std::string address = simulator.Address();
    EXPECT_EQ(Run({"--list-devices", "--simulator", address.c_str()}), CONSOLE_OK) << m_err;
    EXPECT_EQ(m_out.substr(0, m_out.find('\n')), "Attached converters: 3 (this driver does not give their descriptions)");
    EXPECT_EQ(GetEnv("VANTORELLE_SIMULATOR"), "") << "nothing is left behind for a later driver choice";
    // The version query needs no machine.
    EXPECT_EQ(Run({"version-info", "--simulator", "127.0.0.2:7011"}), CONSOLE_OK) << m_out << m_err;
}

} // namespace
} // namespace vu
