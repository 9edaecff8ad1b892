// The machine's card reader and the smart card in it, as the machine model
// sees them: commands B0 (power on), B2 (send), B3 (receive) arrive as the
// payloads of card-flagged frames.
//
// B0 powers the card on; its answer to reset waits for the next B3.
// B2 puts one T=1 block on the card's half-duplex line: the reader hears the
// block itself first (the echo), then the card's answer.
// B3 hands over what the line carried since the last B3, at most 255 bytes
// per call, so a block may come in parts.
#pragma once

#include "sim/machine/SmartCardModel.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace vu::sim {

class CardReaderModel {
public:
    CardReaderModel();
    ~CardReaderModel();
    CardReaderModel(const CardReaderModel&) = delete;
    CardReaderModel& operator=(const CardReaderModel&) = delete;

    // One reader command (the frame's payload, starting with B0, B2 or B3).
    // Returns the reply payload, or nothing when the reader does not answer.
    std::optional<std::vector<uint8_t>> HandleCommand(const uint8_t* payload, size_t length);

    // The machine restarted: the card loses power and its session. Scripts,
    // faults and records stay.
    void Reset();

    // The card, to script it and to see what it got.
    SmartCardModel& SmartCard() { return m_card; }

    // Every B3 hands over at most this many bytes (0: up to 255), so that
    // answers come spread over several receive commands.
    void SetReceiveChunk(size_t bytes);

    // Reader commands that were not answered (wrong length or unknown).
    int RefusedCommands() const;

private:
    SmartCardModel m_card;
    mutable std::mutex m_lock;
    std::deque<uint8_t> m_line;   // bytes waiting for the next B3
    std::vector<uint8_t> m_held;  // the card's answer, not on the line yet
    int m_nHoldReceives = 0;
    size_t m_nReceiveChunk = 0;
    int m_nRefused = 0;
};

} // namespace vu::sim
