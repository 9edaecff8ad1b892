// The card reader's commands: B0 power on, B2 send, B3 receive, each one
// card-flagged frame out and one reply frame back.
#include "device/MachineLink.h"

#include "log/Log.h"

#include <cstring>

namespace vu {

namespace {

constexpr uint8_t CARD_CMD_POWER_ON = 0xB0;
constexpr uint8_t CARD_CMD_SEND = 0xB2;
constexpr uint8_t CARD_CMD_RECEIVE = 0xB3;
constexpr uint8_t CARD_POWER_ON[9] = {CARD_CMD_POWER_ON, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00};
constexpr uint8_t CARD_RECEIVE[9] = {CARD_CMD_RECEIVE, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00};
constexpr uint32_t CARD_COMMAND_BUFFER = 255;
constexpr uint32_t ATR_MIN_LENGTH = 14;
constexpr uint8_t ATR_JCOP[4] = {0x4A, 0x43, 0x4F, 0x50}; // "JCOP" at bytes 9 to 12

} // namespace

int CMachineLink::Card_PowerOn()
{
    if (SendCardFrame(CARD_POWER_ON, sizeof CARD_POWER_ON) != 0)
        return LINK_E_PROTOCOL;
    uint8_t buffer[CARD_COMMAND_BUFFER] = {};
    uint32_t length = 0;
    if (ReceiveCardFrame(buffer, &length, sizeof buffer) != 0)
        return LINK_E_PROTOCOL;
    if (Card_Receive(buffer, &length, sizeof buffer) != 0) {
        WriteLog(L"Card_Receive failed");
        return LINK_E_PROTOCOL;
    }
    if (length >= ATR_MIN_LENGTH && std::memcmp(buffer + 9, ATR_JCOP, sizeof ATR_JCOP) == 0)
        return LINK_OK;
    return LINK_E_PROTOCOL;
}

int CMachineLink::Card_Send(const uint8_t* data, int count)
{
    // The command byte and the block share one 255-byte buffer: a longer block fails unsent.
    if (count < 0 || uint32_t(count) > CARD_COMMAND_BUFFER - 1)
        return LINK_E_PROTOCOL;
    uint8_t buffer[CARD_COMMAND_BUFFER] = {};
    buffer[0] = CARD_CMD_SEND;
    if (count > 0)
        std::memcpy(buffer + 1, data, size_t(count));
    if (SendCardFrame(buffer, count + 1) != 0)
        return LINK_E_PROTOCOL;
    std::memset(buffer, 0, sizeof buffer);
    uint32_t length = 0;
    if (ReceiveCardFrame(buffer, &length, sizeof buffer) != 0)
        return LINK_E_PROTOCOL;
    return LINK_OK;
}

int CMachineLink::Card_Receive(uint8_t* dest, uint32_t* count, uint32_t capacity)
{
    if (SendCardFrame(CARD_RECEIVE, sizeof CARD_RECEIVE) != 0)
        return LINK_E_PROTOCOL;
    if (ReceiveCardFrame(dest, count, capacity) != 0)
        return LINK_E_PROTOCOL;
    // The frame layer bounds the copy by capacity; a count beyond it is not trusted.
    if (*count > capacity)
        return LINK_E_PROTOCOL;
    if (*count < 2 || dest[0] != CARD_CMD_RECEIVE || dest[1] != 0x00)
        return LINK_E_PROTOCOL;
    *count -= 2;
    std::memmove(dest, dest + 2, *count);
    return LINK_OK;
}

} // namespace vu
