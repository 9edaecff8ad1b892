// vantorelle-machine-sim: the machine behind a virtual FTDI converter.
#include "platform/Socket.h"
#include "sim/machine-sim/LinkServer.h"
#include "sim/machine-sim/SimConfig.h"
#include "sim/machine-sim/StateStore.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <pthread.h>

using namespace vu::sim;
namespace fs = std::filesystem;

namespace {

int Fail(const std::string& message)
{
    std::fprintf(stderr, "vantorelle-machine-sim: %s\n", message.c_str());
    return 2;
}

fs::path DeviceStateDir(const fs::path& root, size_t index)
{
    return index == 0 ? root : root / ("device-" + std::to_string(index + 1));
}

} // namespace

int main(int argc, char** argv)
{
    SimConfig config;
    std::string error;
    if (!ParseSimArgs(std::vector<std::string>(argv + 1, argv + argc), &config, &error)) {
        std::fprintf(stderr, "%s", SIM_USAGE);
        return Fail(error);
    }
    if (config.help) {
        std::printf("%s", SIM_USAGE);
        return 0;
    }

    // The signals are taken by sigwait below; every thread started later inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    SimDevices devices;
    for (size_t i = 0; i < config.devices.size(); ++i) {
        MachineState state = StartingState(config);
        if (!config.stateDir.empty() && !LoadMachineState(DeviceStateDir(config.stateDir, i), &state, &error))
            return Fail(error);
        auto device = std::make_unique<CSimDevice>(config.devices[i], state, config.timing);
        for (auto& [command, fault] : config.faults)
            device->Model().AddFault(command, fault);
        devices.push_back(std::move(device));
    }

    vu::net::Startup();
    CLinkServer server(std::move(devices), config.verbose);
    if (!server.Start(config.listenAddrNet, config.listenPort, &error))
        return Fail(error);
    std::string address = server.Address();
    std::printf("vantorelle-machine-sim: listening on %s (", address.c_str());
    for (size_t i = 0; i < config.devices.size(); ++i)
        std::printf("%s\"%s\"", i ? ", " : "", config.devices[i].c_str());
    std::printf(")%s\n", config.broken ? ", probe fails until a playback" : "");
    std::fflush(stdout);
    if (!config.readyFile.empty()) {
        fs::path temp = config.readyFile;
        temp += ".part";
        std::ofstream(temp) << address << "\n";
        std::error_code ec;
        fs::rename(temp, config.readyFile, ec);
        if (ec)
            return Fail("cannot write " + config.readyFile.string());
    }

    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.Stop();

    int result = 0;
    server.WithDevices([&](SimDevices& all) {
        for (size_t i = 0; i < all.size(); ++i) {
            const MachineState& state = all[i]->Model().State();
            std::string report = StateReport(all[i]->Description(), state, all[i]->Tally());
            std::printf("%s", report.c_str());
            if (config.stateDir.empty())
                continue;
            fs::path dir = DeviceStateDir(config.stateDir, i);
            if (!SaveMachineState(dir, state, &error)) {
                Fail(error);
                result = 1;
                continue;
            }
            std::ofstream(dir / "report.txt") << report;
        }
    });
    std::fflush(stdout);
    return result;
}
