// What the reference update server hands out, per request tag, and the
// content folder it is loaded from.
#pragma once

#include "sim/update-server/RequestPacket.h"

#include <filesystem>
#include <string>
#include <vector>

namespace vu::sim {

constexpr size_t FIRMWARE_CHUNK_BYTES = 1024;
constexpr size_t IMAGE_SLICE_BYTES = 1024;
constexpr uint32_t IMAGE_PART_BYTES = 1048576;

struct UpdateContent {
    std::vector<std::string> notes; // version notes, records 1.. of 02 01 04
    Bytes firmwareHeader;           // record 0 of 02 01 01; < 10 bytes: bytes 1..5 are the new item 6
    Bytes firmware;                 // records 1.. of 02 01 01, in 1024-byte chunks
    Bytes image;                    // the data image: 02 01 03 (size) and 02 01 02 (parts)
    std::vector<Bytes> playback;    // every record of 07 41, record 0 included: ready-made frames
    std::vector<Bytes> card;        // every record of 07 42, record 0 included: card APDUs
};

// A machine frame around a payload: length, payload length, payload, check byte.
Bytes MachineFrame(const Bytes& payload);
// The frame that sets information item 6 to five bytes in the boot loader.
Bytes WriteItem6Frame(const std::string& value5);

// Small complete content: firmware and image of the chosen sizes filled with a
// repeatable pattern, item 6 restored to value5 by playback and set by the
// firmware header.
UpdateContent MakeDemoContent(size_t firmwareBytes, size_t imageBytes, const std::string& value5 = "V2.30");

// The reply records for a well-formed request (ParseRequest ok).
std::vector<Bytes> ReplyRecords(const UpdateContent& content, const ParsedRequest& request);

// The content folder (see README.md). Load fails with a reason on a missing
// or malformed file or content the tool could not take in one reply.
bool LoadContent(const std::filesystem::path& dir, UpdateContent* content, std::string* error);
bool SaveContent(const UpdateContent& content, const std::filesystem::path& dir, std::string* error);
// Whether every reply fits the tool's limits (12000 records of 1100 bytes).
bool CheckContent(const UpdateContent& content, std::string* error);

} // namespace vu::sim
