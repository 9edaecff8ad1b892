// The machine's storage on disk: firmware.bin, image.bin and items.txt
// (one "N HEX" line per information item), and the report written beside
// them when the simulator stops.
#pragma once

#include "sim/machine-sim/SimDevice.h"

#include <filesystem>
#include <string>

namespace vu::sim {

// Takes whatever of the three files exists in dir over the state.
bool LoadMachineState(const std::filesystem::path& dir, MachineState* state, std::string* error);
bool SaveMachineState(const std::filesystem::path& dir, const MachineState& state, std::string* error);
// A short text: sizes and SHA-256 of firmware and image, what was written
// in this run, the information items.
std::string StateReport(const std::string& description, const MachineState& state, const WriteTally& tally);

} // namespace vu::sim
