#include "ui/console/ConsoleApp.h"

#include "device/FtdiDriver.h"
#include "device/MachineLink.h"
#include "engine/Engine.h"
#include "platform/Console.h"
#include "platform/Socket.h"
#include "platform/ToolVersion.h"
#include "ui/console/ConsoleWindow.h"
#include "ui/console/InterruptGuard.h"

#include <CLI/CLI.hpp>

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace vu {

namespace {

struct Command {
    const char* name;
    const char* help;
    WorkerProc proc; // nullptr: the version query alone
};

const Command COMMANDS[] = {
    {"update", "Update the machine (the default command)", UpdateThread},
    {"repair-data", "Fix data error(picture lost, etc): write the machine's data image again", RepairDataThread},
    {"repair-card", "Fix 'Internal Error 1' error: send the card commands again", RepairInternalErrorThread},
    {"version-info", "Show the update server's version notes", nullptr},
};

std::string CheckHostPort(const std::string& text)
{
    std::string host;
    uint16_t port = 0;
    int shape = net::SplitHostPort(text, &host, &port);
    if (shape == net::HOSTPORT_E_SHAPE)
        return "expected HOST:PORT";
    if (shape != net::HOSTPORT_OK || port == 0)
        return "the port must be a number from 1 to 65535";
    return "";
}

std::string DescriptionList()
{
    std::string list;
    for (int i = 0; i < LINK_DESCRIPTION_COUNT; ++i)
        list += std::string(i ? ", " : "") + "\"" + LINK_DESCRIPTIONS[i] + "\"";
    return list;
}

int ListDevices(IFtdiDriver& driver, std::ostream& out, std::ostream& err)
{
    std::vector<std::string> names;
    FT_STATUS status = driver.ListDescriptions(&names);
    if (status == FT_NOT_SUPPORTED) {
        uint32_t count = 0;
        FT_STATUS counted = driver.ListDevicesCount(&count);
        if (counted != FT_OK) {
            err << "The USB driver could not count the converters (status " << counted << ").\n";
            return CONSOLE_FAILED;
        }
        out << "Attached converters: " << count << " (this driver does not give their descriptions)\n"
            << "The tool opens the first attached one described as, in this order: " << DescriptionList() << "\n";
        return CONSOLE_OK;
    }
    if (status != FT_OK) {
        err << "The USB driver could not list the converters (status " << status << ").\n";
        return CONSOLE_FAILED;
    }
    if (names.empty()) {
        out << "No USB serial converter is attached.\n";
        return CONSOLE_OK;
    }
    out << "Attached converters: " << names.size() << "\n";
    for (const std::string& name : names)
        out << "  " << ConsoleText(std::wstring(name.begin(), name.end())) << "\n";
    // The link tries the descriptions in its own order, not the bus order.
    for (int i = 0; i < LINK_DESCRIPTION_COUNT; ++i) {
        for (const std::string& name : names) {
            if (name == LINK_DESCRIPTIONS[i]) {
                out << "The tool would open: " << name << "\n";
                return CONSOLE_OK;
            }
        }
    }
    out << "None of them is a converter the tool opens (it looks for " << DescriptionList() << ").\n";
    return CONSOLE_OK;
}

int RunCommand(const Command& command, std::ostream& out, std::ostream& err, bool terminal,
               const EngineContext& context)
{
    WriteStartLine();
    CConsoleWindow window(out, terminal, &context);
    bool finished = false;
    // Ctrl+C reaches this thread, never a read or a wait of the worker.
    StartThreadWithoutInterrupts([&] {
        VersionInfoThread(&window);
        if (command.proc) {
            InterruptGuard().SetWriting(true);
            command.proc(&window);
            InterruptGuard().SetWriting(false);
        }
        finished = true;
    }).join();
    window.Finish();
    if (!finished)
        return CONSOLE_FAILED;
    if (window.Succeeded())
        return CONSOLE_OK;
    if (!command.proc)
        err << "The update server sent no version information.\n";
    return CONSOLE_FAILED;
}

} // namespace

int RunConsole(int argc, const char* const* argv, std::ostream& out, std::ostream& err, bool terminal,
               const EngineContext& context)
{
    CLI::App app{"Online update tool for the TAVRIN Vantorelle automatic key cutting machine.\n"
                 "Exit status: 0 success, 1 failure, 2 usage error, 130 stopped by Ctrl+C.",
                 "vantorelle-update"};
    std::wstring version = TOOL_VERSION_TEXT;
    app.set_version_flag("--version", "vantorelle-update " + std::string(version.begin(), version.end()));
    std::string simulator;
    bool listDevices = false;
    app.add_option("--simulator", simulator,
                   "Talk to the machine simulator at HOST:PORT instead of a USB converter")
        ->type_name("HOST:PORT")
        ->check(CLI::Validator(CheckHostPort, ""));
    app.add_flag("--list-devices", listDevices,
                 "List the attached USB serial converters and the one the tool would open");
    app.fallthrough(); // options after the command too; set before the commands inherit it
    std::vector<CLI::App*> subcommands;
    for (const Command& c : COMMANDS)
        subcommands.push_back(app.add_subcommand(c.name, c.help));
    app.require_subcommand(0, 1);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e, out, err) == 0 ? CONSOLE_OK : CONSOLE_USAGE;
    }

    // The simulator's client takes the place of the driver for this run.
    std::unique_ptr<IFtdiDriver> simulatorDriver;
    if (!simulator.empty())
        simulatorDriver = CreateVirtualFtdiClient(simulator);
    const EngineContext runContext{simulatorDriver ? *simulatorDriver : context.driver, context.system,
                                   context.server};
    if (listDevices)
        return ListDevices(runContext.driver, out, err);

    const Command* command = &COMMANDS[0];
    for (size_t i = 0; i < subcommands.size(); ++i)
        if (subcommands[i]->parsed())
            command = &COMMANDS[i];
    return RunCommand(*command, out, err, terminal, runContext);
}

} // namespace vu
