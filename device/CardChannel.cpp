// T=1 blocks to the machine's smart card over the reader's commands, and the
// few command APDUs the tool builds itself.
#include "device/CardChannel.h"

#include "device/MachineLink.h"
#include "platform/Platform.h"

#include <cstring>

namespace vu {

namespace {

constexpr int MAX_BLOCK_INF = 255;
// Card_Send carries the block with its command byte in 255 bytes: NAD, PCB,
// LEN and LRC leave room for 250 INF bytes.
constexpr int MAX_SENDABLE_INF = 250;
constexpr int MAX_AID = 100;
constexpr uint8_t PCB_WTX_REQUEST = 0xC3;
constexpr uint8_t PCB_WTX_RESPONSE = 0xE3;
constexpr uint32_t BLOCK_TIMEOUT_MS = 2000;
// A card may ask for more time again and again; no sane card needs a minute.
constexpr uint32_t WTX_TOTAL_LIMIT_MS = 60000;
constexpr uint32_t WTX_PAUSE_MS = 10;
constexpr uint32_t HEADER_WAIT_MS = 100;
constexpr uint32_t SELECT_WAIT_MS = 100;
constexpr uint32_t INITIALIZE_UPDATE_WAIT_MS = 2000;
constexpr uint32_t INITIALIZE_UPDATE_MIN_ANSWER = 30;
const uint8_t CARD_MANAGER_AID[7] = {0xA0, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00};

uint8_t Lrc(const uint8_t* bytes, uint32_t count)
{
    uint8_t lrc = 0;
    for (uint32_t i = 0; i < count; ++i)
        lrc ^= bytes[i];
    return lrc;
}

} // namespace

CCardChannel::CCardChannel(CMachineLink* link) : m_pLink(link) {}

int CCardChannel::Open()
{
    if (m_bCardReady)
        return LINK_OK;
    int result = m_pLink->Card_PowerOn();
    if (result == LINK_OK)
        m_bCardReady = true;
    return result;
}

int CCardChannel::SendBlock(const uint8_t* inf, int count)
{
    if (count > MAX_BLOCK_INF)
        return LINK_E_BLOCK_TOO_LONG;
    // 251 to 255 bytes do not fit Card_Send: refused unsent, the sequence bit kept for the next block.
    if (count > MAX_SENDABLE_INF)
        return LINK_E_BLOCK_TOO_LONG;
    if (count < 0)
        return LINK_E_PROTOCOL;
    m_nSendSeq = 0x40 - m_nSendSeq;
    uint8_t block[CARD_BLOCK_BUFFER_SIZE] = {};
    block[0] = 0x00;
    block[1] = uint8_t(m_nSendSeq);
    block[2] = uint8_t(count);
    if (count > 0)
        std::memcpy(block + 3, inf, size_t(count));
    block[3 + count] = Lrc(block, uint32_t(3 + count));
    return m_pLink->Card_Send(block, count + 4);
}

int CCardChannel::ReceiveBlock(uint8_t* dest, uint32_t* count, uint32_t capacity)
{
    ISystemServices& system = m_pLink->System();
    const uint32_t firstStart = system.TickCount();
    for (;;) {
        const uint32_t start = system.TickCount();
        uint8_t gathered[CARD_BLOCK_BUFFER_SIZE] = {};
        uint32_t gatheredCount = 0;
        uint32_t echoLength = 0;  // L1
        uint32_t answerLength = 0; // L2
        for (;;) {
            uint8_t buffer[CARD_BLOCK_BUFFER_SIZE] = {};
            uint32_t received = 0;
            int result = m_pLink->Card_Receive(buffer, &received, sizeof buffer);
            if (result == LINK_OK && received > 0) {
                // Bytes past the buffer are dropped; the echo and the card's block need at most 518.
                uint32_t room = CARD_BLOCK_BUFFER_SIZE - gatheredCount;
                uint32_t take = received < room ? received : room;
                std::memcpy(gathered + gatheredCount, buffer, take);
                gatheredCount += take;
            }
            // The echo of the block sent (L1 + 4 bytes), then the card's block (L2 + 4).
            if (gatheredCount >= 3) {
                echoLength = gathered[2];
                if (gatheredCount >= echoLength + 7) {
                    answerLength = gathered[echoLength + 6];
                    if (gatheredCount >= echoLength + answerLength + 8)
                        break;
                }
            }
            if (system.TickCount() - start >= BLOCK_TIMEOUT_MS)
                return result;
        }

        if (gathered[echoLength + 5] == PCB_WTX_REQUEST) {
            // Past the minute in all the card is taken as hung: fail instead of granting more.
            if (system.TickCount() - firstStart >= WTX_TOTAL_LIMIT_MS)
                return LINK_E_PROTOCOL;
            // The answer grants the multiplier the card asked for.
            uint8_t multiplier = answerLength >= 1 ? gathered[echoLength + 7] : 0x01;
            uint8_t response[5] = {0x00, PCB_WTX_RESPONSE, 0x01, multiplier, 0x00};
            response[4] = Lrc(response, 4);
            m_pLink->Card_Send(response, sizeof response);
            system.Sleep(WTX_PAUSE_MS);
            continue;
        }

        // An answer longer than the caller's buffer fails whole; cut, it would lose its status bytes.
        if (answerLength > capacity)
            return LINK_E_PROTOCOL;
        std::memcpy(dest, gathered + echoLength + 7, answerLength);
        *count = answerLength;
        return LINK_OK;
    }
}

int CCardChannel::Transmit(const uint8_t* apdu, int count, uint8_t* dest, uint32_t* outCount, uint32_t capacity,
                           uint32_t waitMs)
{
    int result = SendBlock(apdu, count);
    m_pLink->System().Sleep(waitMs);
    if (result != LINK_OK)
        return result;
    return ReceiveBlock(dest, outCount, capacity);
}

int CCardChannel::TransmitHeader(const uint8_t* header, uint8_t* dest, uint32_t* outCount, uint32_t capacity)
{
    return Transmit(header, 4, dest, outCount, capacity, HEADER_WAIT_MS);
}

int CCardChannel::Select(const uint8_t* aid, int count)
{
    if (count < 0 || count > MAX_AID)
        return LINK_E_PROTOCOL;
    uint8_t apdu[MAX_AID + 6] = {0x00, 0xA4, 0x04, 0x00, uint8_t(count)};
    if (count > 0)
        std::memcpy(apdu + 5, aid, size_t(count));
    apdu[5 + count] = 0x00;
    uint8_t answer[CARD_BLOCK_BUFFER_SIZE] = {};
    uint32_t answerCount = 0;
    int result = Transmit(apdu, count + 6, answer, &answerCount, sizeof answer, SELECT_WAIT_MS);
    if (result != LINK_OK)
        return result;
    if (answerCount < 2)
        return LINK_E_PROTOCOL;
    if (answer[answerCount - 2] == 0x90 && answer[answerCount - 1] == 0x00)
        return LINK_OK;
    return LINK_E_PROTOCOL;
}

int CCardChannel::SelectCardManager() { return Select(CARD_MANAGER_AID, sizeof CARD_MANAGER_AID); }

int CCardChannel::InitializeUpdate()
{
    RandomBytes8(m_hostChallenge);
    uint8_t apdu[14] = {0x80, 0x50, 0x00, 0x00, 0x08};
    std::memcpy(apdu + 5, m_hostChallenge, 8);
    apdu[13] = 0x00;
    uint8_t answer[CARD_BLOCK_BUFFER_SIZE] = {};
    uint32_t answerCount = 0;
    int result = Transmit(apdu, sizeof apdu, answer, &answerCount, sizeof answer, INITIALIZE_UPDATE_WAIT_MS);
    if (result != LINK_OK)
        return result;
    if (answerCount < INITIALIZE_UPDATE_MIN_ANSWER)
        return LINK_E_PROTOCOL;
    // Sequence counter and card challenge; the status bytes are not looked at.
    std::memcpy(m_cardChallenge, answer + 12, 8);
    return LINK_OK;
}

} // namespace vu
