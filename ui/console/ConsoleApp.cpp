#include "ui/console/ConsoleApp.h"

#include "device/FtdiDriver.h"
#include "device/MachineLink.h"
#include "engine/Engine.h"
#include "log/Format.h"
#include "log/Log.h"
#include "ui/console/ConsoleWindow.h"
#include "ui/console/InterruptGuard.h"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <csignal>
#include <pthread.h>
#endif

namespace vu {

namespace {


struct Command {
    const char* name;
    const char* help;
    WorkerProc proc;          // nullptr: the version query alone
    const wchar_t* success;   // how the sequence's last status begins when it went well
};

const Command COMMANDS[] = {
    {"update", "Update the machine (the default command)", UpdateThread, L"Update success."},
    {"repair-data", "Fix data error(picture lost, etc): write the machine's data image again", RepairDataThread,
     L"Repair success."},
    {"repair-card", "Fix 'Internal Error 1' error: send the card commands again", RepairInternalErrorThread,
     L"Repair success."},
    {"version-info", "Show the update server's version notes", nullptr, nullptr},
};

void SetEnvironment(const char* name, const std::string& value)
{
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

std::string CheckHostPort(const std::string& text)
{
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
        return "expected HOST:PORT";
    const std::string port = text.substr(colon + 1);
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
        return "the port must be a number from 1 to 65535";
    long n = std::strtol(port.c_str(), nullptr, 10);
    if (n < 1 || n > 65535)
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

int ListDevices(std::ostream& out, std::ostream& err)
{
    std::vector<std::string> names;
    FT_STATUS status = Driver().ListDescriptions(&names);
    if (status == FT_NOT_SUPPORTED) {
        uint32_t count = 0;
        FT_STATUS counted = Driver().ListDevicesCount(&count);
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

// Runs fn on a thread of its own with Ctrl+C blocked there, so the interrupt
// reaches this thread and never cuts a read or a wait of the worker short.
template <typename Fn>
void RunAsWorker(Fn fn)
{
#ifndef _WIN32
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    std::thread worker(fn);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    worker.join();
#else
    std::thread(fn).join();
#endif
}

int RunCommand(const Command& command, std::ostream& out, std::ostream& err, bool terminal)
{
    WriteLog(Format(L"TAVRIN Automatic Key Cutting Machine V%s start", TOOL_VERSION_TEXT));
    CConsoleWindow window(out, terminal);
    bool finished = false;
    RunAsWorker([&] {
        VersionInfoThread(&window);
        if (command.proc) {
            InterruptGuard().SetWriting(true);
            command.proc(&window);
            InterruptGuard().SetWriting(false);
        }
        finished = true;
    });
    window.Finish();
    if (!finished)
        return CONSOLE_FAILED;
    if (!command.proc) {
        if (window.NotesShown())
            return CONSOLE_OK;
        err << "The update server sent no version information.\n";
        return CONSOLE_FAILED;
    }
    return window.LastStatus().rfind(command.success, 0) == 0 ? CONSOLE_OK : CONSOLE_FAILED;
}

} // namespace

int RunConsole(int argc, const char* const* argv, std::ostream& out, std::ostream& err, bool terminal)
{
    CLI::App app{"Online update tool for the TAVRIN Vantorelle automatic key cutting machine.\n"
                 "Exit status: 0 success, 1 failure, 2 usage error, 130 stopped by Ctrl+C.",
                 "vantorelle-update"};
    std::wstring version = TOOL_VERSION_TEXT;
    app.set_version_flag("--version", "vantorelle-update " + std::string(version.begin(), version.end()));
    std::string simulator;
    bool listDevices = false;
    app.add_option("--simulator", simulator,
                   "Talk to the machine simulator at HOST:PORT instead of a USB converter "
                   "(sets VANTORELLE_SIMULATOR)")
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

    if (!simulator.empty())
        SetEnvironment("VANTORELLE_SIMULATOR", simulator);
    if (listDevices)
        return ListDevices(out, err);

    const Command* command = &COMMANDS[0];
    for (size_t i = 0; i < subcommands.size(); ++i)
        if (subcommands[i]->parsed())
            command = &COMMANDS[i];
    return RunCommand(*command, out, err, terminal);
}

} // namespace vu
