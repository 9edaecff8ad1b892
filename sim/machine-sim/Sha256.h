// SHA-256 of a byte run, as lower-case hex, for the simulator's report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vu::sim {

std::string Sha256Hex(const uint8_t* data, size_t length);

} // namespace vu::sim
