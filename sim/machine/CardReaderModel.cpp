#include "sim/machine/CardReaderModel.h"

#include "platform/LittleEndian.h"

#include <algorithm>

namespace vu::sim {

namespace {

constexpr uint8_t CMD_POWER_ON = 0xB0;
constexpr uint8_t CMD_SEND = 0xB2;
constexpr uint8_t CMD_RECEIVE = 0xB3;
constexpr size_t COMMAND_LENGTH = 9;    // command byte and two 32-bit numbers
constexpr size_t MAX_RECEIVE = 255;
constexpr size_t READER_BUFFER = 255;   // command byte and block

} // namespace

CardReaderModel::CardReaderModel() = default;
CardReaderModel::~CardReaderModel() = default;

std::optional<std::vector<uint8_t>> CardReaderModel::HandleCommand(const uint8_t* payload, size_t length)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (length == 0) {
        ++m_nRefused;
        return std::nullopt;
    }
    switch (payload[0]) {
    case CMD_POWER_ON: {
        // B0, slot 0, class 3.
        if (length != COMMAND_LENGTH || GetLe32(payload + 1) != 0 || GetLe32(payload + 5) != 3)
            break;
        m_line.clear();
        m_held.clear();
        m_nHoldReceives = 0;
        Bytes atr = m_card.PowerOn();
        m_line.insert(m_line.end(), atr.begin(), atr.end());
        return Bytes{CMD_POWER_ON, 0x00};
    }
    case CMD_SEND: {
        if (length < 2 || length > READER_BUFFER)
            break;
        // The card has finished whatever it still had to say.
        m_line.insert(m_line.end(), m_held.begin(), m_held.end());
        m_held.clear();
        m_nHoldReceives = 0;
        m_line.insert(m_line.end(), payload + 1, payload + length);
        SmartCardModel::Transmission t = m_card.ReceiveBlock(payload + 1, length - 1);
        m_line.insert(m_line.end(), t.now.begin(), t.now.end());
        if (!t.held.empty()) {
            m_held = t.held;
            m_nHoldReceives = t.holdReceives;
        }
        return Bytes{CMD_SEND, 0x00};
    }
    case CMD_RECEIVE: {
        if (length != COMMAND_LENGTH || GetLe32(payload + 1) != 0)
            break;
        size_t n = std::min<size_t>({GetLe32(payload + 5), MAX_RECEIVE, m_line.size()});
        if (m_nReceiveChunk > 0)
            n = std::min(n, m_nReceiveChunk);
        Bytes reply = {CMD_RECEIVE, 0x00};
        reply.insert(reply.end(), m_line.begin(), m_line.begin() + long(n));
        m_line.erase(m_line.begin(), m_line.begin() + long(n));
        if (m_nHoldReceives > 0 && --m_nHoldReceives == 0) {
            m_line.insert(m_line.end(), m_held.begin(), m_held.end());
            m_held.clear();
        }
        return reply;
    }
    default:
        break;
    }
    ++m_nRefused;
    return std::nullopt;
}

void CardReaderModel::Reset()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_card.PowerOff();
    m_line.clear();
    m_held.clear();
    m_nHoldReceives = 0;
}

void CardReaderModel::SetReceiveChunk(size_t bytes)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_nReceiveChunk = bytes;
}

int CardReaderModel::RefusedCommands() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_nRefused;
}

} // namespace vu::sim
