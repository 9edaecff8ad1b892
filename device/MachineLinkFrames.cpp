// Frames: length, payload length, payload, check byte. Plain and card-flagged
// sending, one reply per call, and the card channel's stream of replies.
#include "device/MachineLink.h"

#include "platform/LittleEndian.h"

#include <cstring>

namespace vu {

namespace {
constexpr int FRAME_OVERHEAD = 5;
constexpr int MAX_PAYLOAD = int(LINK_BUFFER_SIZE) - 10; // 4990
constexpr uint32_t REPLY_READ_MS = 5500;
constexpr uint32_t REPLY_QUIET_MS = 20000;
constexpr uint32_t CARD_REPLY_MS = 2000;

// Lays out the frame for payload into frame; returns its size, or 0 when the payload does not fit.
uint32_t BuildFrame(const uint8_t* payload, int length, uint8_t* frame)
{
    if (length < 0 || length > MAX_PAYLOAD || (length > 0 && !payload))
        return 0;
    uint32_t total = uint32_t(length) + FRAME_OVERHEAD;
    PutLe16(frame, total);
    PutLe16(frame + 2, uint32_t(length));
    if (length > 0)
        std::memcpy(frame + 4, payload, size_t(length));
    uint8_t check = 0;
    for (uint32_t i = 0; i < total - 1; ++i)
        check ^= frame[i];
    frame[total - 1] = check;
    return total;
}
} // namespace

int CMachineLink::SendFrame(const uint8_t* payload, int length)
{
    uint8_t frame[LINK_BUFFER_SIZE];
    uint32_t total = BuildFrame(payload, length, frame);
    // A payload over 4990 bytes (or a negative length) is refused unsent.
    if (total == 0)
        return LINK_E_PROTOCOL;
    uint32_t written = 0;
    return WriteRaw(frame, total, &written);
}

int CMachineLink::SendCardFrame(const uint8_t* payload, int length)
{
    uint8_t frame[LINK_BUFFER_SIZE];
    uint32_t total = BuildFrame(payload, length, frame);
    // A payload over 4990 bytes (or a negative length) is refused unsent.
    if (total == 0)
        return LINK_E_PROTOCOL;
    frame[1] |= 0x80;
    frame[total - 1] ^= frame[1];
    uint32_t written = 0;
    return WriteRaw(frame, total, &written);
}

int CMachineLink::ReceiveFrame(uint8_t* dest, uint32_t* length, uint32_t capacity)
{
    uint8_t gathered[LINK_BUFFER_SIZE] = {};
    uint8_t chunk[LINK_BUFFER_SIZE];
    uint32_t count = 0;
    if (length)
        *length = 0;
    uint32_t lastArrival = m_system.TickCount();
    for (;;) {
        uint32_t got = 0;
        int result = ReadRaw(chunk, &got, REPLY_READ_MS);
        if (result == LINK_OK && got > 0) {
            uint32_t frameLength = count >= 2 ? GetLe16(gathered) : 0;
            // Once more than the frame (or the buffer) has arrived the reply cannot complete,
            // so further bytes neither count nor keep the call waiting.
            bool canComplete = count < LINK_BUFFER_SIZE && (count < 2 || count < frameLength);
            if (canComplete) {
                // Bytes beyond the 5000-byte gathering buffer are dropped.
                uint32_t room = LINK_BUFFER_SIZE - count;
                uint32_t take = got < room ? got : room;
                std::memcpy(gathered + count, chunk, take);
                count += take;
                lastArrival = m_system.TickCount();
            }
        }
        if (count >= 2) {
            uint32_t frameLength = GetLe16(gathered);
            if (frameLength > 0 && count == frameLength)
                break;
        }
        if (m_system.TickCount() - lastArrival >= REPLY_QUIET_MS)
            return result != LINK_OK ? result : LINK_E_TIMEOUT;
    }
    uint32_t frameLength = GetLe16(gathered);
    uint32_t payloadLength = GetLe16(gathered + 2);
    if (frameLength < FRAME_OVERHEAD || payloadLength > frameLength - FRAME_OVERHEAD)
        return LINK_E_PROTOCOL;
    // A payload longer than the caller's destination is treated as refused: nothing is copied.
    if (payloadLength > capacity)
        return LINK_E_PROTOCOL;
    std::memcpy(dest, gathered + 4, payloadLength);
    if (length)
        *length = payloadLength;
    return LINK_OK;
}

int CMachineLink::ReceiveCardFrame(uint8_t* dest, uint32_t* length, uint32_t capacity)
{
    if (length)
        *length = 0;
    uint32_t start = m_system.TickCount();
    uint8_t chunk[LINK_BUFFER_SIZE];
    for (;;) {
        if (m_system.TickCount() - start >= CARD_REPLY_MS)
            return LINK_E_TIMEOUT;
        if (m_nCardRxLen > 2) {
            uint32_t frameLength = GetLe16(m_cardRx);
            if (frameLength <= m_nCardRxLen)
                break;
            // A frame longer than the whole buffer can never arrive: the stream is dropped.
            if (frameLength > LINK_BUFFER_SIZE) {
                m_nCardRxLen = 0;
                return LINK_E_TIMEOUT;
            }
        }
        uint32_t got = 0;
        if (ReadRaw(chunk, &got, CARD_REPLY_MS) == LINK_OK && got > 0) {
            // Bytes beyond the 5000-byte stream buffer are dropped.
            uint32_t room = LINK_BUFFER_SIZE - m_nCardRxLen;
            uint32_t take = got < room ? got : room;
            std::memcpy(m_cardRx + m_nCardRxLen, chunk, take);
            m_nCardRxLen += take;
        }
    }

    // Take the front frame out of the stream.
    uint32_t frameLength = GetLe16(m_cardRx);
    uint8_t frame[LINK_BUFFER_SIZE];
    std::memcpy(frame, m_cardRx, frameLength);
    std::memmove(m_cardRx, m_cardRx + frameLength, m_nCardRxLen - frameLength);
    m_nCardRxLen -= frameLength;
    std::memset(m_cardRx + m_nCardRxLen, 0, LINK_BUFFER_SIZE - m_nCardRxLen);
    // A zero length stays at the front: this and every later call end with 9.
    if (frameLength == 0)
        return LINK_E_TIMEOUT;
    // A frame too short for its header, or whose payload overruns it, is dropped and fails.
    uint32_t payloadLength = frameLength >= 4 ? GetLe16(frame + 2) : 0;
    if (frameLength < FRAME_OVERHEAD || payloadLength > frameLength - FRAME_OVERHEAD)
        return LINK_E_TIMEOUT;
    // A payload longer than the caller's destination is dropped and fails.
    if (payloadLength > capacity)
        return LINK_E_TIMEOUT;
    std::memcpy(dest, frame + 4, payloadLength);
    if (length)
        *length = payloadLength;
    return LINK_OK;
}

} // namespace vu
