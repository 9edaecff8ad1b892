#include "sim/machine/SmartCardModel.h"

#include <algorithm>

namespace vu::sim {

namespace {

constexpr uint8_t PCB_SEQ = 0x40;
constexpr uint8_t PCB_WTX_REQUEST = 0xC3;
constexpr uint8_t PCB_WTX_RESPONSE = 0xE3;
constexpr uint8_t R_BLOCK = 0x80;
constexpr uint8_t R_ERROR_EDC = 0x01;
constexpr uint8_t R_ERROR_OTHER = 0x02;
constexpr size_t MAX_INF = 254; // the card's IFSC, as its answer to reset says

Bytes Sw(uint8_t sw1, uint8_t sw2) { return {sw1, sw2}; }

Bytes WithLrc(Bytes block)
{
    block.push_back(BlockLrc(block.data(), block.size()));
    return block;
}

// 3B FA 13 00 00 81 31 FE 45 "JCOP41V221" TCK: T=1, IFSC 254; the letters
// JCOP are bytes 9 to 12.
Bytes MakeDefaultAtr()
{
    Bytes atr = {0x3B, 0xFA, 0x13, 0x00, 0x00, 0x81, 0x31, 0xFE, 0x45};
    for (char c : std::string("JCOP41V221"))
        atr.push_back(uint8_t(c));
    atr.push_back(BlockLrc(atr.data() + 1, atr.size() - 1));
    return atr;
}

} // namespace

uint8_t BlockLrc(const uint8_t* bytes, size_t length)
{
    uint8_t lrc = 0;
    for (size_t i = 0; i < length; ++i)
        lrc ^= bytes[i];
    return lrc;
}

const Bytes SmartCardModel::kApplicationAid = {0x83, 0x46, 0x75, 0x23, 0x61, 0x01};
const Bytes SmartCardModel::kCardManagerAid = {0xA0, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00};
const Bytes SmartCardModel::kDefaultAnswerToReset = MakeDefaultAtr();

SmartCardModel::SmartCardModel()
    : m_atr(kDefaultAnswerToReset),
      m_appData{0x56, 0x54, 0x52, 0x31, 0x00, 0x00, 0x04, 0x07},
      m_cardChallenge{0x5C, 0x1E, 0x93, 0x07, 0xA4, 0x68}
{
}

Bytes SmartCardModel::PowerOn()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_bPowered = true;
    m_selected = Selected::None;
    m_expectedSeq = 0x00;
    m_cardSeq = 0x00;
    m_bWtxOutstanding = false;
    m_wtxMore = 0;
    m_pendingAnswer = {};
    ++m_nPowerOns;
    return m_atr;
}

void SmartCardModel::PowerOff()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_bPowered = false;
    m_selected = Selected::None;
    m_bWtxOutstanding = false;
    m_pendingAnswer = {};
}

bool SmartCardModel::Powered() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_bPowered;
}

SmartCardModel::Transmission SmartCardModel::Reject(uint8_t errorCode, const std::string& reason)
{
    m_rejections.push_back(reason);
    // R-block: N(R) names the I-block the card still waits for.
    Transmission t;
    t.now = WithLrc({0x00, uint8_t(R_BLOCK | (m_expectedSeq ? 0x10 : 0x00) | errorCode), 0x00});
    return t;
}

SmartCardModel::Transmission SmartCardModel::ReceiveBlock(const uint8_t* block, size_t length)
{
    std::lock_guard<std::mutex> lock(m_lock);
    Bytes b(block, block + length);
    m_blocks.push_back(b);
    if (!m_bPowered)
        return {};

    if (length < 4)
        return Reject(R_ERROR_OTHER, "block shorter than 4 bytes");
    if (BlockLrc(block, length - 1) != block[length - 1])
        return Reject(R_ERROR_EDC, "wrong LRC");
    if (block[0] != 0x00)
        return Reject(R_ERROR_OTHER, "wrong NAD");
    if (block[2] != length - 4 || block[2] > MAX_INF)
        return Reject(R_ERROR_OTHER, "wrong LEN");
    uint8_t pcb = block[1];

    if (m_bWtxOutstanding) {
        if (pcb != PCB_WTX_RESPONSE || block[2] != 1)
            return Reject(R_ERROR_OTHER, "no answer to the waiting-time request");
        if (block[3] != m_wtxMultiplier)
            return Reject(R_ERROR_OTHER, "waiting-time answer with another multiplier");
        if (m_wtxMore == 0) {
            m_bWtxOutstanding = false;
            Transmission answer = m_pendingAnswer;
            m_pendingAnswer = {};
            return answer;
        }
        if (m_wtxMore > 0)
            --m_wtxMore;
        Transmission t;
        t.now = WithLrc({0x00, PCB_WTX_REQUEST, 0x01, m_wtxMultiplier});
        return t;
    }

    if (pcb & 0x80)
        return Reject(R_ERROR_OTHER, "unexpected R- or S-block");
    if (pcb & ~PCB_SEQ)
        return Reject(R_ERROR_OTHER, "chained or malformed I-block");
    if ((pcb & PCB_SEQ) != m_expectedSeq)
        return Reject(R_ERROR_OTHER, "wrong sequence bit");
    m_expectedSeq ^= PCB_SEQ;

    Bytes apdu(block + 3, block + 3 + block[2]);
    m_apdus.push_back(apdu);
    Bytes response = Process(apdu);
    std::optional<CardFault> fault = TakeFault(apdu);
    if (fault && fault->answer)
        response = *fault->answer;
    // A scripted answer longer than one block is cut to the card's IFSC.
    if (response.size() > MAX_INF)
        response.resize(MAX_INF);

    Transmission answer;
    if (!fault || !fault->silent) {
        Bytes out = IBlock(response);
        if (fault && fault->cutTo >= 0 && size_t(fault->cutTo) < out.size())
            out.resize(size_t(fault->cutTo));
        if (fault && fault->holdReceives > 0) {
            answer.held = out;
            answer.holdReceives = fault->holdReceives;
        } else {
            answer.now = out;
        }
    }

    if (fault && fault->wtxRequests != 0) {
        m_bWtxOutstanding = true;
        m_wtxMore = fault->wtxRequests < 0 ? -1 : fault->wtxRequests - 1;
        m_wtxMultiplier = fault->wtxMultiplier;
        m_pendingAnswer = answer;
        Transmission t;
        t.now = WithLrc({0x00, PCB_WTX_REQUEST, 0x01, m_wtxMultiplier});
        return t;
    }
    return answer;
}

Bytes SmartCardModel::IBlock(const Bytes& inf)
{
    Bytes block = {0x00, m_cardSeq, uint8_t(inf.size())};
    block.insert(block.end(), inf.begin(), inf.end());
    m_cardSeq ^= PCB_SEQ;
    return WithLrc(block);
}

std::optional<CardFault> SmartCardModel::TakeFault(const Bytes& apdu)
{
    for (auto it = m_faults.begin(); it != m_faults.end(); ++it) {
        if (it->match.size() > apdu.size() || !std::equal(it->match.begin(), it->match.end(), apdu.begin()))
            continue;
        CardFault fault = *it;
        if (it->times > 0 && --it->times == 0)
            m_faults.erase(it);
        return fault;
    }
    return std::nullopt;
}

Bytes SmartCardModel::Process(const Bytes& apdu)
{
    if (apdu.size() < 4)
        return Sw(0x67, 0x00);
    const uint8_t cla = apdu[0], ins = apdu[1], p1 = apdu[2], p2 = apdu[3];

    if (cla == 0x00 && ins == 0xA4 && p1 == 0x04 && p2 == 0x00) {
        if (apdu.size() < 5 || (apdu.size() != 5u + apdu[4] && apdu.size() != 6u + apdu[4]))
            return Sw(0x67, 0x00);
        Bytes aid(apdu.begin() + 5, apdu.begin() + 5 + apdu[4]);
        if (aid == kApplicationAid) {
            m_selected = Selected::Application;
            return Sw(0x90, 0x00);
        }
        if (aid == kCardManagerAid) {
            m_selected = Selected::CardManager;
            // FCI: the AID, and proprietary data with the maximum command length.
            Bytes fci = {0x6F, 0x0F, 0x84, 0x07};
            fci.insert(fci.end(), aid.begin(), aid.end());
            fci.insert(fci.end(), {0xA5, 0x04, 0x9F, 0x65, 0x01, 0xFF});
            fci.insert(fci.end(), {0x90, 0x00});
            return fci;
        }
        m_selected = Selected::None;
        return Sw(0x6A, 0x82);
    }

    if (cla == 0x00 && ins == 0xAD && p1 == 0x00 && p2 == 0x00 && apdu.size() <= 5) {
        if (m_selected != Selected::Application)
            return Sw(0x6D, 0x00);
        Bytes answer = m_appData;
        answer.insert(answer.end(), m_readSw, m_readSw + 2);
        return answer;
    }

    if (cla == 0x80 && ins == 0x50) {
        if (m_selected != Selected::CardManager)
            return Sw(0x6D, 0x00);
        return AnswerInitializeUpdate(apdu);
    }

    return m_script ? m_script(apdu) : Sw(0x90, 0x00);
}

Bytes SmartCardModel::AnswerInitializeUpdate(const Bytes& apdu)
{
    if (apdu.size() < 13 || apdu[4] != 8 || apdu.size() > 14)
        return Sw(0x67, 0x00);
    InitializeUpdateSeen seen;
    std::copy(apdu.begin() + 5, apdu.begin() + 13, seen.hostChallenge);

    // Key diversification data 10, key information 2 (version 01, protocol
    // 02), sequence counter 2, card challenge 6, card cryptogram 8.
    Bytes answer = {0x47, 0x90, 0x50, 0x35, 0x21, 0x12, 0x00, 0x4D, 0x11, 0x92, 0x01, 0x02};
    answer.push_back(uint8_t(m_sequenceCounter >> 8));
    answer.push_back(uint8_t(m_sequenceCounter));
    answer.insert(answer.end(), m_cardChallenge.begin(), m_cardChallenge.end());
    // The keys live with the server; this stands in for the cryptogram and
    // only has to change with both challenges.
    for (int i = 0; i < 8; ++i)
        answer.push_back(uint8_t(seen.hostChallenge[i] ^ answer[12 + i] ^ (0x3D + 17 * i)));
    answer.insert(answer.end(), {0x90, 0x00});
    ++m_sequenceCounter;

    seen.answer = answer;
    m_initializeUpdates.push_back(seen);
    return answer;
}

void SmartCardModel::SetAnswerToReset(Bytes atr)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_atr = std::move(atr);
}

void SmartCardModel::SetApplicationData(const Bytes& eightBytes)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_appData = eightBytes;
}

void SmartCardModel::SetReadStatus(uint8_t sw1, uint8_t sw2)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_readSw[0] = sw1;
    m_readSw[1] = sw2;
}

void SmartCardModel::SetCardChallenge(const Bytes& sixBytes)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_cardChallenge = sixBytes;
    m_cardChallenge.resize(6);
}

void SmartCardModel::SetSequenceCounter(uint16_t counter)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_sequenceCounter = counter;
}

void SmartCardModel::SetApduScript(std::function<Bytes(const Bytes&)> script)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_script = std::move(script);
}

void SmartCardModel::AddFault(CardFault fault)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (fault.times != 0)
        m_faults.push_back(std::move(fault));
}

void SmartCardModel::ClearFaults()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_faults.clear();
}

std::vector<Bytes> SmartCardModel::Blocks() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_blocks;
}

std::vector<Bytes> SmartCardModel::Apdus() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_apdus;
}

std::vector<std::string> SmartCardModel::Rejections() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_rejections;
}

std::vector<SmartCardModel::InitializeUpdateSeen> SmartCardModel::InitializeUpdates() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_initializeUpdates;
}

int SmartCardModel::PowerOnCount() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_nPowerOns;
}

} // namespace vu::sim
