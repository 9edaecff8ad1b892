// Numbers on both wires are little-endian: 16-bit in device frames, 32-bit in
// payloads and in server packets.
#pragma once

#include <cstdint>
#include <vector>

namespace vu {

inline uint32_t GetLe16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }

inline uint32_t GetLe32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void PutLe16(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

inline void PutLe32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

inline void AppendLe32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(uint8_t(v >> shift));
}

} // namespace vu
