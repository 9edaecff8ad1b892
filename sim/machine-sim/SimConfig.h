// The simulator's command line: what it listens on, which devices it
// presents, the machine's starting state, its faults and its timing.
#pragma once

#include "sim/machine-sim/SimDevice.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vu::sim {

struct SimConfig {
    uint32_t listenAddrNet = 0;
    uint16_t listenPort = 7010;
    std::vector<std::string> devices;                 // empty: one "Vantorelle"
    bool broken = false;                              // item 6 missing: the probe fails
    std::optional<std::array<uint8_t, 8>> identity;
    std::optional<std::vector<uint8_t>> infoBlock;
    std::map<uint8_t, std::vector<uint8_t>> items;    // set over the starting state's
    std::vector<uint8_t> dropItems;                   // removed from it
    std::vector<std::pair<int, MachineFault>> faults; // command (or ANY_COMMAND), fault
    SimTiming timing;
    std::filesystem::path stateDir;
    std::filesystem::path readyFile;
    bool verbose = false;
    bool help = false;
};

extern const char* const SIM_USAGE;

// False with a reason on a bad argument.
bool ParseSimArgs(const std::vector<std::string>& args, SimConfig* config, std::string* error);
// "CMD:KIND[:key=value...]", CMD two hex digits or "any"; see SIM_USAGE.
bool ParseFault(const std::string& text, int* command, MachineFault* fault, std::string* error);
MachineState StartingState(const SimConfig& config);

} // namespace vu::sim
