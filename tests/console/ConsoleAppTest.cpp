// The console commands against the in-process machine model and a loopback
// reference server, on the virtual clock; the command line and exit statuses.
#include "device/FtdiDriver.h"
#include "device/NoDeviceDriver.h"
#include "log/Log.h"
#include "platform/VirtualSystem.h"
#include "sim/machine/ModelDriver.h"
#include "sim/update-server/UpdateServer.h"
#include "tests/testsupport/TestSupport.h"
#include "ui/console/ConsoleApp.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace vu {
namespace {

class ConsoleAppTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetSys(&m_clock);
        SetDriver(&m_driver);
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
        SetDriver(nullptr);
        SetSys(nullptr);
    }

    int Run(std::vector<const char*> args)
    {
        args.insert(args.begin(), "vantorelle-update");
        std::ostringstream out, err;
        int status = RunConsole(int(args.size()), args.data(), out, err, false);
        m_out = out.str();
        m_err = err.str();
        return status;
    }

    bool ServerGot(const sim::Bytes& tag) const { return !m_server->RequestsFor(tag).empty(); }

    VirtualSystem m_clock;
    sim::ModelDriver m_driver;
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
    EXPECT_EQ(lines.front(), L"TAVRIN Automatic Key Cutting Machine V1.4.1 start");
    std::string file = test::ReadFileText(m_log.File());
    EXPECT_TRUE(file.substr(0, file.find("\r\n")).ends_with("|    -   ]TAVRIN Automatic Key Cutting Machine V1.4.1 start"));

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
    EXPECT_EQ(m_out, "vantorelle-update 1.4.1\n");
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
    sim::ModelDriver other;
    other.Attach("FT232R USB UART");
    SetDriver(&other);
    EXPECT_EQ(Run({"--list-devices"}), CONSOLE_OK);
    EXPECT_NE(m_out.find("None of them is a converter the tool opens"), std::string::npos) << m_out;

    NoDeviceDriver none;
    SetDriver(&none);
    EXPECT_EQ(Run({"--list-devices"}), CONSOLE_OK);
    EXPECT_EQ(m_out, "Attached converters: 0 (this driver does not give their descriptions)\n"
                     "The tool opens the first attached one described as, in this order: "
                     "\"Pexilant\", \"MOX\", \"DRAXO\", \"ZK4407\", \"Vantorelle\"\n");
}

TEST_F(ConsoleAppTest, SimulatorOptionSetsTheEnvironment)
{
    EXPECT_EQ(Run({"--list-devices", "--simulator", "127.0.0.1:7010"}), CONSOLE_OK);
    EXPECT_EQ(GetEnv("VANTORELLE_SIMULATOR"), "127.0.0.1:7010");
    EXPECT_EQ(Run({"version-info", "--simulator", "127.0.0.2:7011"}), CONSOLE_OK) << m_out << m_err;
    EXPECT_EQ(GetEnv("VANTORELLE_SIMULATOR"), "127.0.0.2:7011");
    sim::SetProcessEnv("VANTORELLE_SIMULATOR", "");
}

} // namespace
} // namespace vu
