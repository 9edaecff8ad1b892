#include "sim/machine/MachineModel.h"

#include "platform/LittleEndian.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vu::sim {

namespace {
constexpr uint32_t STANDARD_BAUD = 115200;
constexpr size_t MIN_FRAME = 5;
constexpr size_t MAX_FRAME = 5000;
constexpr size_t SECTOR = 512;
constexpr size_t CHUNK_MAX = 1024;
constexpr uint8_t CBUS2 = 0x04;

const uint32_t SUPPORTED_RATES[] = {9600,   19200,  38400,   57600,   115200, 230400,
                                    460800, 921600, 1000000, 2000000, 3000000};

std::vector<uint8_t> Frame(const std::vector<uint8_t>& payload)
{
    size_t total = payload.size() + 5;
    std::vector<uint8_t> f{uint8_t(total), uint8_t(total >> 8), uint8_t(payload.size()), uint8_t(payload.size() >> 8)};
    f.insert(f.end(), payload.begin(), payload.end());
    uint8_t check = 0;
    for (uint8_t b : f)
        check ^= b;
    f.push_back(check);
    return f;
}

std::vector<uint8_t> Text(const char* s) { return std::vector<uint8_t>(s, s + std::strlen(s)); }
} // namespace

bool BaudRatesAgree(uint32_t hostBaud, uint32_t machineBaud)
{
    uint64_t apart = hostBaud > machineBaud ? hostBaud - machineBaud : machineBaud - hostBaud;
    return apart * 100 <= uint64_t(machineBaud) * 3;
}

MachineState MachineState::Healthy()
{
    MachineState s;
    s.identity = {0x56, 0x54, 0x31, 0x07, 0x20, 0x19, 0x4B, 0x2C};
    for (int i = 0; i < 48; ++i)
        s.infoBlock.push_back(uint8_t(0x30 + i));
    s.items[1] = Text("V2.13");
    s.items[6] = Text("A0103");
    return s;
}

MachineState MachineState::Broken()
{
    MachineState s = Healthy();
    s.items.erase(6);
    return s;
}

MachineModel::MachineModel(MachineState state) : m_state(std::move(state)) {}

// ---------------------------------------------------------------- pins, speed

bool MachineModel::Cbus2High() const
{
    // In CBUS bit-bang mode the mask's high nibble makes pins outputs, the low nibble sets them.
    return m_bitMode == 0x20 && (m_bitMask & (CBUS2 << 4)) && (m_bitMask & CBUS2) && (m_bitMask & 0x11) == 0x11;
}

void MachineModel::SetBitMode(uint8_t mask, uint8_t mode)
{
    m_bitMask = mask;
    m_bitMode = mode;
    bool high = Cbus2High();
    if (m_cbus2WasHigh && !high)
        Restart(m_break);
    m_cbus2WasHigh = high;
}

void MachineModel::SetBreak(bool on)
{
    m_break = on;
    // A break is a long run of zero bits: whatever frame was half received is spoilt.
    if (on)
        m_input.clear();
}

void MachineModel::SetHostBaud(uint32_t baud) { m_hostBaud = baud; }

void MachineModel::ConverterReset() {}

void MachineModel::Disconnected()
{
    m_input.clear();
    m_break = false;
}

void MachineModel::Restart(bool bootLoader)
{
    m_mode = bootLoader ? Mode::BootLoader : Mode::Normal;
    m_machineBaud = STANDARD_BAUD;
    m_pendingBaud = 0;
    m_input.clear();
    m_output.clear();
    m_held.clear();
    m_firmwareBegun = false;
    m_firmwarePrepared = false;
    m_pendingFirmware.clear();
    m_dataWriteOpen = false;
    m_card.Reset();
    ++m_restarts;
}

// ---------------------------------------------------------------- input

void MachineModel::HostWrite(const uint8_t* bytes, size_t count)
{
    if (count == 0 || m_unplugged)
        return;
    if (!BaudRatesAgree(m_hostBaud, m_machineBaud)) {
        // Sent at the wrong speed: the machine reads noise and loses the frame it was taking.
        m_garbled += count;
        Reject("baud " + std::to_string(m_hostBaud) + " against " + std::to_string(m_machineBaud), bytes, count);
        m_input.clear();
        return;
    }
    if (m_break) {
        Reject("sent during break", bytes, count);
        return;
    }
    m_input.insert(m_input.end(), bytes, bytes + count);
    ParseInput();
}

void MachineModel::ParseInput()
{
    while (m_input.size() >= 2 && !m_unplugged) {
        size_t length = (size_t(m_input[0]) | (size_t(m_input[1]) << 8)) & 0x7FFF;
        if (length < MIN_FRAME || length > MAX_FRAME) {
            Reject("frame length " + std::to_string(length), m_input.data(), m_input.size());
            m_input.clear();
            return;
        }
        if (m_input.size() < length)
            return;
        std::vector<uint8_t> frame(m_input.begin(), m_input.begin() + std::ptrdiff_t(length));
        m_input.erase(m_input.begin(), m_input.begin() + std::ptrdiff_t(length));
        HandleFrame(frame.data(), frame.size());
        // Pending speed switch: once the answer is out, the machine runs at the new rate.
        if (m_pendingBaud) {
            m_machineBaud = m_pendingBaud;
            m_pendingBaud = 0;
        }
    }
}

void MachineModel::HandleFrame(const uint8_t* frame, size_t length)
{
    bool flagged = (frame[1] & 0x80) != 0;
    size_t payloadLength = size_t(frame[2]) | (size_t(frame[3]) << 8);
    if (payloadLength != length - 5) {
        Reject("payload length " + std::to_string(payloadLength) + " in a frame of " + std::to_string(length), frame,
               length);
        return;
    }
    uint8_t check = 0;
    for (size_t i = 0; i + 1 < length; ++i)
        check ^= i == 1 ? uint8_t(frame[1] & 0x7F) : frame[i];
    if (flagged)
        check ^= frame[1];
    if (check != frame[length - 1]) {
        Reject("check byte", frame, length);
        return;
    }
    const uint8_t* payload = frame + 4;
    if (payloadLength == 0) {
        Reject("empty payload", frame, length);
        return;
    }
    if (m_mode != Mode::BootLoader) {
        Reject("not in the boot loader", frame, length);
        return;
    }
    uint8_t command = payload[0];
    bool card = command == 0xB0 || command == 0xB2 || command == 0xB3;
    if (card && !flagged) {
        Reject("card command without the card flag", frame, length);
        return;
    }
    if (!card && flagged) {
        Reject("card flag on a machine command", frame, length);
        return;
    }

    m_requests.emplace_back(payload, payload + payloadLength);
    const MachineFault* fault = MatchFault(command);
    if (fault) {
        switch (fault->kind) {
        case MachineFault::Kind::Silent:
            return;
        case MachineFault::Kind::Vanish:
            m_unplugged = true;
            m_input.clear();
            return;
        case MachineFault::Kind::Refuse: {
            std::vector<uint8_t> refusal{command, fault->status};
            Emit(refusal, nullptr);
            return;
        }
        default:
            break;
        }
    }
    std::vector<uint8_t> answer;
    if (!Perform(payload, payloadLength, flagged, &answer))
        return;
    if (!answer.empty())
        Emit(answer, fault);
}

// ---------------------------------------------------------------- commands

bool MachineModel::Perform(const uint8_t* p, size_t n, bool flagged, std::vector<uint8_t>* answer)
{
    (void)flagged;
    uint8_t command = p[0];
    std::vector<uint8_t>& a = *answer;
    auto reply = [&](uint8_t status) { a = {command, status}; };
    switch (command) {
    case 0xD1: // identity
        if (n != 1)
            return reply(0x01), true;
        a = {0xD1, 0x00};
        a.insert(a.end(), m_state.identity.begin(), m_state.identity.end());
        return true;
    case 0xBE: // information block
        if (n != 1)
            return reply(0x01), true;
        a = {0xBE, 0x00};
        a.insert(a.end(), m_state.infoBlock.begin(), m_state.infoBlock.end());
        return true;
    case 0xA1: { // read an information item
        if (n != 2)
            return reply(0x01), true;
        auto it = m_state.items.find(p[1]);
        if (it == m_state.items.end())
            return reply(0x05), true;
        a = {0xA1, 0x00};
        a.insert(a.end(), it->second.begin(), it->second.end());
        return true;
    }
    case 0xA0: // write an information item
        if (n < 4 || p[2] != 0x02)
            return reply(0x01), true;
        m_state.items[p[1]] = std::vector<uint8_t>(p + 3, p + n);
        return reply(0x00), true;
    case 0xA5: // begin a firmware write
        if (n != 9 || GetLe32(p + 1) != 0 || GetLe32(p + 5) != 1)
            return reply(0x01), true;
        m_firmwareBegun = true;
        m_firmwarePrepared = false;
        m_pendingFirmware.clear();
        return reply(0x00), true;
    case 0xAB:
        if (n != 1 || !m_firmwareBegun)
            return reply(0x01), true;
        m_firmwarePrepared = true;
        return reply(0x00), true;
    case 0xA4: // a firmware chunk
        if (!m_firmwarePrepared || n - 1 > CHUNK_MAX)
            return reply(0x01), true;
        m_pendingFirmware.insert(m_pendingFirmware.end(), p + 1, p + n);
        return reply(0x00), true;
    case 0xA6:
        if (n != 1 || !m_firmwarePrepared)
            return reply(0x01), true;
        m_state.firmware = m_pendingFirmware;
        m_firmwareBegun = m_firmwarePrepared = false;
        m_pendingFirmware.clear();
        return reply(0x00), true;
    case 0xD7:
        if (n != 1)
            return reply(0x01), true;
        m_dataWriteOpen = true;
        return reply(0x00), true;
    case 0xD8: { // write sectors
        if (n < 9 || !m_dataWriteOpen)
            return reply(0x01), true;
        uint32_t sector = GetLe32(p + 1);
        uint32_t count = GetLe32(p + 5);
        if (count == 0 || uint64_t(count) * SECTOR != n - 9)
            return reply(0x01), true;
        uint64_t end = (uint64_t(sector) + count) * SECTOR;
        if (end > m_state.imageCapacity)
            return reply(0x01), true;
        if (m_state.image.size() < end)
            m_state.image.resize(size_t(end), 0);
        std::memcpy(m_state.image.data() + size_t(sector) * SECTOR, p + 9, size_t(count) * SECTOR);
        a = {0xD8, 0x00};
        AppendLe32(a, sector);
        return true;
    }
    case 0xDB:
        if (n != 1 || !m_dataWriteOpen)
            return reply(0x01), true;
        m_dataWriteOpen = false;
        return reply(0x00), true;
    case 0xAE: { // speed switch, after the answer
        if (n != 5)
            return reply(0x01), true;
        uint32_t rate = GetLe32(p + 1);
        if (std::find(std::begin(SUPPORTED_RATES), std::end(SUPPORTED_RATES), rate) == std::end(SUPPORTED_RATES))
            return reply(0x01), true;
        m_pendingBaud = rate;
        return reply(0x00), true;
    }
    case 0xB0:
    case 0xB2:
    case 0xB3: {
        std::optional<std::vector<uint8_t>> r = m_card.HandleCommand(p, n);
        if (!r)
            return false;
        a = std::move(*r);
        return true;
    }
    default:
        Reject("unknown command", p, n);
        return false;
    }
}

// ---------------------------------------------------------------- output

void MachineModel::Push(OutputPiece piece)
{
    if (!BaudRatesAgree(m_hostBaud, m_machineBaud)) {
        // Sent at a speed the host does not listen at: it reads zero bytes.
        std::fill(piece.bytes.begin(), piece.bytes.end(), uint8_t(0));
    }
    m_output.push_back(std::move(piece));
}

void MachineModel::Emit(const std::vector<uint8_t>& payload, const MachineFault* fault)
{
    std::vector<uint8_t> bytes = Frame(payload);
    if (!m_held.empty()) {
        bytes.insert(bytes.begin(), m_held.begin(), m_held.end());
        m_held.clear();
    }
    if (!fault) {
        Push({std::move(bytes), 0});
        return;
    }
    switch (fault->kind) {
    case MachineFault::Kind::Delay:
        Push({std::move(bytes), fault->delayMs});
        break;
    case MachineFault::Kind::Trickle:
        for (size_t i = 0; i < bytes.size(); ++i)
            Push({{bytes[i]}, i == 0 ? 0 : fault->delayMs});
        break;
    case MachineFault::Kind::Split: {
        size_t at = fault->splitAt ? std::min(fault->splitAt, bytes.size()) : bytes.size() / 2;
        Push({std::vector<uint8_t>(bytes.begin(), bytes.begin() + std::ptrdiff_t(at)), 0});
        if (at < bytes.size())
            Push({std::vector<uint8_t>(bytes.begin() + std::ptrdiff_t(at), bytes.end()), fault->delayMs});
        break;
    }
    case MachineFault::Kind::MergeWithNext:
        m_held = std::move(bytes);
        break;
    case MachineFault::Kind::Garbage:
        if (fault->garbage.empty()) {
            for (uint8_t& b : bytes)
                b = uint8_t(~b);
            Push({std::move(bytes), 0});
        } else {
            Push({fault->garbage, 0});
        }
        break;
    default:
        Push({std::move(bytes), 0});
        break;
    }
}

std::vector<OutputPiece> MachineModel::TakeOutput()
{
    std::vector<OutputPiece> out;
    out.swap(m_output);
    return out;
}

// ---------------------------------------------------------------- faults, records

void MachineModel::AddFault(int command, MachineFault fault) { m_faults.push_back({command, std::move(fault)}); }

void MachineModel::ClearFaults() { m_faults.clear(); }

const MachineFault* MachineModel::MatchFault(uint8_t command)
{
    for (FaultSlot& slot : m_faults) {
        if (slot.command != ANY_COMMAND && slot.command != command)
            continue;
        MachineFault& f = slot.fault;
        if (f.after > 0) {
            --f.after;
            continue;
        }
        if (f.times == 0)
            continue;
        if (f.times > 0)
            --f.times;
        m_firing = f;
        return &m_firing;
    }
    return nullptr;
}

void MachineModel::Reject(const std::string& reason, const uint8_t* bytes, size_t length)
{
    std::string text = reason + ":";
    char pair[4];
    for (size_t i = 0; i < length && i < 16; ++i) {
        std::snprintf(pair, sizeof pair, " %02X", bytes[i]);
        text += pair;
    }
    if (length > 16)
        text += " ...";
    m_rejections.push_back(text);
}

std::vector<uint8_t> MachineModel::Image(size_t offset, size_t size) const
{
    std::vector<uint8_t> out(size, 0);
    if (offset < m_state.image.size()) {
        size_t n = std::min(size, m_state.image.size() - offset);
        std::memcpy(out.data(), m_state.image.data() + offset, n);
    }
    return out;
}

const std::vector<uint8_t>* MachineModel::Item(uint8_t n) const
{
    auto it = m_state.items.find(n);
    return it == m_state.items.end() ? nullptr : &it->second;
}

size_t MachineModel::CountOf(uint8_t command) const
{
    return size_t(std::count_if(m_requests.begin(), m_requests.end(),
                                [&](const std::vector<uint8_t>& r) { return !r.empty() && r[0] == command; }));
}

void MachineModel::ClearRecords()
{
    m_requests.clear();
    m_rejections.clear();
    m_garbled = 0;
}

} // namespace vu::sim
