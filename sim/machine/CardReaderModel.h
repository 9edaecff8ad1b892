// The machine's card reader and the smart card in it, as the machine model
// sees them: commands B0 (power on), B2 (send), B3 (receive) arrive as the
// payloads of card-flagged frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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

    // The machine restarted: the card loses power and its session.
    void Reset();

private:
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace vu::sim
