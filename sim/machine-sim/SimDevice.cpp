#include "sim/machine-sim/SimDevice.h"

#include "platform/LittleEndian.h"

#include <algorithm>
#include <limits>

namespace vu::sim {

namespace {

constexpr uint64_t NEVER = std::numeric_limits<uint64_t>::max();
constexpr uint32_t MIN_BAUD = 183;      // the converter's slowest divisor
constexpr uint32_t MAX_BAUD = 3000000;  // and its fastest
constexpr size_t MAX_REJECTIONS = 1000;

// Command code and status of every whole frame in a run of answer bytes.
std::vector<std::pair<uint8_t, uint8_t>> AnswerCodes(const std::vector<uint8_t>& bytes)
{
    std::vector<std::pair<uint8_t, uint8_t>> codes;
    size_t at = 0;
    while (at + 6 <= bytes.size()) {
        size_t length = size_t(bytes[at]) | (size_t(bytes[at + 1] & 0x7F) << 8);
        if (length < 6 || at + length > bytes.size())
            break;
        codes.emplace_back(bytes[at + 4], bytes[at + 5]);
        at += length;
    }
    return codes;
}

} // namespace

uint32_t MachineTimeUs(const std::vector<uint8_t>& payload)
{
    if (payload.empty())
        return 0;
    switch (payload[0]) {
    case 0xD1: case 0xBE: case 0xA1: return 300;      // read from RAM
    case 0xAE: return 200;
    case 0xA0: return 8000;                            // information flash page
    case 0xA5: return 60000;                           // firmware area erased
    case 0xAB: return 2000;
    case 0xA4: return 2500;                            // one 1 KiB flash page programmed
    case 0xA6: return 15000;                           // firmware checked and committed
    case 0xD7: case 0xDB: return 2000;
    case 0xD8: {
        uint32_t sectors = payload.size() >= 9 ? GetLe32(payload.data() + 5) : 0;
        return 400 + 600 * std::min<uint32_t>(sectors, 16);
    }
    case 0xB0: return 15000;                           // card powered, answer to reset
    case 0xB2: case 0xB3: return 1500;
    default: return 300;
    }
}

CSimDevice::CSimDevice(std::string description, MachineState state, SimTiming timing)
    : m_description(std::move(description)), m_timing(timing), m_model(std::move(state)),
      m_latencyMs(timing.latencyMs)
{
    m_restartsSeen = m_model.RestartCount();
}

uint64_t CSimDevice::ByteUs(uint32_t baud) const
{
    if (!m_timing.enabled || baud == 0)
        return 0;
    // 10 bits a byte: start bit, 8 data bits, stop bit.
    return (10'000'000ull + baud - 1) / baud;
}

bool CSimDevice::Present(uint64_t nowUs)
{
    if (!m_model.Unplugged())
        return true;
    if (!m_bGone) {
        m_bGone = true;
        m_goneAtUs = nowUs;
    }
    if (nowUs - m_goneAtUs >= uint64_t(m_timing.replugMs) * 1000) {
        m_model.Replug();
        m_bGone = false;
        return true;
    }
    return false;
}

void CSimDevice::Open(uint64_t nowUs)
{
    m_bOpen = true;
    // A freshly opened converter: 9600 baud 8N1, default latency, no event character.
    m_hostBaud = 9600;
    m_model.SetHostBaud(m_hostBaud);
    m_bLineOk = true;
    m_latencyMs = m_timing.latencyMs;
    m_bEventEnabled = false;
    m_wire.clear();
    m_chip.clear();
    m_rx.clear();
    m_txFreeUs = m_machineFreeUs = m_outFreeUs = nowUs;
    m_lastHandOverUs = nowUs;
}

void CSimDevice::Close(uint64_t nowUs)
{
    (void)nowUs;
    m_model.Disconnected();
    m_bOpen = false;
    m_wire.clear();
    m_chip.clear();
    m_rx.clear();
}

void CSimDevice::SetDataCharacteristics(uint8_t wordLength, uint8_t stopBits, uint8_t parity)
{
    m_bLineOk = wordLength == 8 && stopBits == 0 && parity == 0;
}

bool CSimDevice::SetBaudRate(uint32_t baud, uint64_t nowUs)
{
    Advance(nowUs);
    // Out of the converter's range the rate stays as it was, as the driver refuses it.
    if (baud < MIN_BAUD || baud > MAX_BAUD)
        return false;
    m_hostBaud = baud;
    m_model.SetHostBaud(baud);
    return true;
}

uint32_t CSimDevice::Write(const uint8_t* bytes, size_t count, uint64_t nowUs)
{
    Advance(nowUs);
    if (count == 0)
        return 0;
    uint64_t start = std::max(nowUs, m_txFreeUs);
    m_txFreeUs = start + count * ByteUs(m_hostBaud);
    uint32_t answerBaud = m_model.MachineBaud();  // a speed switch takes effect after its answer
    if (m_bLineOk)
        m_model.HostWrite(bytes, count);
    else if (m_rejections.size() < MAX_REJECTIONS)
        m_rejections.push_back("line not 8N1: " + std::to_string(count) + " bytes lost");

    std::vector<OutputPiece> pieces = m_model.TakeOutput();
    std::vector<uint8_t> answerBytes;
    for (const OutputPiece& p : pieces)
        answerBytes.insert(answerBytes.end(), p.bytes.begin(), p.bytes.end());
    std::vector<std::pair<uint8_t, uint8_t>> answers = AnswerCodes(answerBytes);

    uint64_t work = 0;
    for (const std::vector<uint8_t>& rq : m_model.Requests()) {
        if (m_timing.enabled)
            work += MachineTimeUs(rq);
        auto done = std::find_if(answers.begin(), answers.end(), [&](auto& a) { return a.first == rq[0]; });
        if (done == answers.end())
            continue;
        if (rq[0] == 0xB0 || rq[0] == 0xB2 || rq[0] == 0xB3) {
            // The reader's own status byte says nothing about the card; an answer is an answer.
            m_tally.cardCommands++;
            answers.erase(done);
            continue;
        }
        if (done->second != 0) {
            m_tally.refused++;
            answers.erase(done);
            continue;
        }
        answers.erase(done);
        switch (rq[0]) {
        case 0xA4: m_tally.firmwareChunks++; m_tally.firmwareChunkBytes += rq.size() - 1; break;
        case 0xA6: m_tally.firmwareCommits++; break;
        case 0xA0: m_tally.itemWrites++; break;
        case 0xD8:
            if (rq.size() >= 9) {
                if (m_tally.sectorWrites == 0)
                    m_tally.firstSectorUs = nowUs;
                m_tally.lastSectorUs = nowUs;
                m_tally.sectorWrites++;
                m_tally.imageBytes += uint64_t(GetLe32(rq.data() + 5)) * 512;
            }
            break;
        default: break;
        }
    }
    for (const std::string& r : m_model.Rejections())
        if (m_rejections.size() < MAX_REJECTIONS)
            m_rejections.push_back(r);
    // The records would otherwise hold every byte of the image a second time.
    m_model.ClearRecords();

    uint64_t ready = std::max(m_txFreeUs, m_machineFreeUs) + work;
    m_machineFreeUs = ready;
    uint64_t byteUs = ByteUs(answerBaud);
    uint64_t t = m_timing.enabled ? ready : nowUs;
    for (const OutputPiece& p : pieces) {
        t += uint64_t(p.delayMs) * 1000;
        t = std::max(t, m_outFreeUs);
        for (uint8_t b : p.bytes) {
            t += byteUs;
            m_wire.push_back({t, b});
        }
        m_outFreeUs = t;
    }
    AfterPins();
    return uint32_t(count);
}

CSimDevice::HandOverPlan CSimDevice::PlanHandOver() const
{
    if (!m_timing.enabled) {
        // Untimed: each byte is the host's as soon as it reaches the converter.
        if (!m_chip.empty())
            return {0, 0};
        if (m_wire.empty())
            return {NEVER, 0};
        return {m_wire.front().atUs, 1};
    }
    const uint64_t latUs = LatencyUs();
    size_t chip = m_chip.size();
    uint64_t timerFrom = m_lastHandOverUs;
    for (size_t i = 0; i < m_wire.size(); ++i) {
        const WireByte& w = m_wire[i];
        if (chip == 0)
            timerFrom = TimerRunsFrom(timerFrom, w.atUs);
        else if (timerFrom + latUs < w.atUs)
            return {timerFrom + latUs, i};
        ++chip;
        if (chip >= CONVERTER_PACKET || (m_bEventEnabled && w.value == m_eventChar))
            return {w.atUs, i + 1};
    }
    return {chip == 0 ? NEVER : timerFrom + latUs, m_wire.size()};
}

uint64_t CSimDevice::LatencyUs() const { return uint64_t(std::max<uint32_t>(m_latencyMs, 1)) * 1000; }

uint64_t CSimDevice::TimerRunsFrom(uint64_t lastHandOverUs, uint64_t byteUs) const
{
    // The timer runs free while the chip is empty: its last expiry before this byte.
    if (byteUs <= lastHandOverUs)
        return lastHandOverUs;
    const uint64_t latUs = LatencyUs();
    return lastHandOverUs + (byteUs - lastHandOverUs) / latUs * latUs;
}

void CSimDevice::TakeFromWire(size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        if (m_chip.empty())
            m_lastHandOverUs = TimerRunsFrom(m_lastHandOverUs, m_wire.front().atUs);
        m_chip.push_back(m_wire.front().value);
        m_wire.pop_front();
    }
}

void CSimDevice::Advance(uint64_t nowUs)
{
    for (HandOverPlan plan = PlanHandOver(); plan.atUs <= nowUs; plan = PlanHandOver()) {
        TakeFromWire(plan.wireBytes);
        HandOver();
        m_lastHandOverUs = plan.atUs;
    }
    // Bytes that came since wait in the chip for the next hand-over.
    size_t arrived = 0;
    while (arrived < m_wire.size() && m_wire[arrived].atUs <= nowUs)
        ++arrived;
    TakeFromWire(arrived);
}

uint64_t CSimDevice::NextReceiveUs(uint64_t nowUs)
{
    Advance(nowUs);
    return m_rx.empty() ? PlanHandOver().atUs : nowUs;
}

void CSimDevice::HandOver()
{
    for (uint8_t b : m_chip) {
        // A full driver buffer loses what comes after, as an overrun does.
        if (m_rx.size() >= HOST_QUEUE_LIMIT)
            break;
        m_rx.push_back(b);
    }
    m_chip.clear();
}

void CSimDevice::GetStatus(uint64_t nowUs, uint32_t* rxQueue, uint32_t* txQueue)
{
    Advance(nowUs);
    *rxQueue = uint32_t(m_rx.size());
    uint64_t byteUs = ByteUs(m_hostBaud);
    *txQueue = (byteUs == 0 || nowUs >= m_txFreeUs) ? 0 : uint32_t((m_txFreeUs - nowUs + byteUs - 1) / byteUs);
}

size_t CSimDevice::Read(uint8_t* dest, size_t wanted, uint64_t nowUs)
{
    Advance(nowUs);
    size_t n = std::min(wanted, m_rx.size());
    std::copy(m_rx.begin(), m_rx.begin() + std::ptrdiff_t(n), dest);
    m_rx.erase(m_rx.begin(), m_rx.begin() + std::ptrdiff_t(n));
    return n;
}

void CSimDevice::ResetDevice(uint64_t nowUs)
{
    Advance(nowUs);
    m_chip.clear();
    m_rx.clear();
    m_txFreeUs = std::min(m_txFreeUs, nowUs);
    m_model.ConverterReset();
}

void CSimDevice::SetBitMode(uint8_t mask, uint8_t mode, uint64_t nowUs)
{
    Advance(nowUs);
    m_model.SetBitMode(mask, mode);
    AfterPins();
}

void CSimDevice::SetBreak(bool on, uint64_t nowUs)
{
    Advance(nowUs);
    m_model.SetBreak(on);
    AfterPins();
}

void CSimDevice::AfterPins()
{
    if (m_model.RestartCount() == m_restartsSeen)
        return;
    m_restartsSeen = m_model.RestartCount();
    m_tally.restarts++;
    // A restarted machine sends nothing more of what it was answering.
    m_wire.clear();
}

void CSimDevice::Purge(uint32_t mask, uint64_t nowUs)
{
    Advance(nowUs);
    if (mask & 1) {
        m_chip.clear();
        m_rx.clear();
    }
    // The machine already has what was written; the wire is simply free again.
    if (mask & 2)
        m_txFreeUs = std::min(m_txFreeUs, nowUs);
}

bool CSimDevice::SetLatencyTimer(uint8_t ms, uint64_t nowUs)
{
    Advance(nowUs);
    if (ms < 2)
        return false;
    m_latencyMs = ms;
    return true;
}

void CSimDevice::SetChars(uint8_t eventChar, bool eventEnabled, uint64_t nowUs)
{
    // Bytes that came before the change were judged by the old character.
    Advance(nowUs);
    m_eventChar = eventChar;
    m_bEventEnabled = eventEnabled;
}

std::vector<std::string> CSimDevice::TakeRejections()
{
    std::vector<std::string> out;
    out.swap(m_rejections);
    return out;
}

} // namespace vu::sim
