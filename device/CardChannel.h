// The machine's smart card: T=1 blocks over the card reader's commands,
// with SELECT and GlobalPlatform INITIALIZE UPDATE on top.
#pragma once

#include <cstdint>

namespace vu {

class CMachineLink;

constexpr uint32_t CARD_BLOCK_BUFFER_SIZE = 1024;

class CCardChannel {
public:
    explicit CCardChannel(CMachineLink* link);
    CCardChannel(const CCardChannel&) = delete;
    CCardChannel& operator=(const CCardChannel&) = delete;

    int Open();
    int SendBlock(const uint8_t* inf, int count);
    // dest holds capacity bytes; the caller sets *count to 0 first.
    int ReceiveBlock(uint8_t* dest, uint32_t* count, uint32_t capacity);
    int Transmit(const uint8_t* apdu, int count, uint8_t* dest, uint32_t* outCount, uint32_t capacity,
                 uint32_t waitMs);
    int TransmitHeader(const uint8_t* header, uint8_t* dest, uint32_t* outCount, uint32_t capacity);
    int Select(const uint8_t* aid, int count);
    int SelectCardManager();
    int InitializeUpdate();

    uint8_t m_hostChallenge[8] = {};
    uint8_t m_cardChallenge[8] = {};
    bool m_bCardReady = false;
    int m_nSendSeq = 0x40;
    CMachineLink* m_pLink;
};

} // namespace vu
