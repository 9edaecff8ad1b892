// The update server's side of the wire: strict parsing of a request packet
// and packing of reply records.
#pragma once

#include "platform/LittleEndian.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vu::sim {

using Bytes = std::vector<uint8_t>;

struct ParsedRequest {
    bool ok = false;
    std::string error;          // why the packet was refused, when !ok
    uint32_t totalLength = 0;
    uint32_t resumeOffset = 0;
    std::vector<Bytes> fields;  // field 0 is the request tag
};

// Checks the layout (total length, field count and lengths, final zero),
// the automatic fields (a UTF-16LE computer name of at most 15 characters,
// the tool's version text in UTF-16LE) and, for a known tag, the number and sizes of the
// fields that kind of request carries.
ParsedRequest ParseRequest(const uint8_t* bytes, size_t count);

// Field count and sizes (after the tag and the two automatic fields) per tag;
// false for an unknown tag.
bool ExpectedFieldSizes(const Bytes& tag, std::vector<int>* sizes);

// total length, record count, lengths, records; zero-padded to 13 bytes.
Bytes PackReply(const std::vector<Bytes>& records);

// A request packet as the tool lays it out (for tests and tools).
Bytes PackRequest(const std::vector<Bytes>& fields, uint32_t resumeOffset = 0);

std::string HexText(const Bytes& bytes);   // "02 01 04"
bool ParseHex(const std::string& text, Bytes* out);  // hex pairs, blanks allowed

} // namespace vu::sim
