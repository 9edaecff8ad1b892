// The machine's commands: restarts by pin sequence, speed switch, identity,
// information items, and the firmware and data write commands.
#include "device/MachineLink.h"

#include "platform/LittleEndian.h"

#include <cstring>

namespace vu {

namespace {
constexpr uint8_t CMD_WRITE_INFO = 0xA0;
constexpr uint8_t CMD_READ_INFO = 0xA1;
constexpr uint8_t CMD_FIRMWARE_CHUNK = 0xA4;
constexpr uint8_t CMD_FIRMWARE_BEGIN = 0xA5;
constexpr uint8_t CMD_FIRMWARE_END = 0xA6;
constexpr uint8_t CMD_FIRMWARE_PREPARE = 0xAB;
constexpr uint8_t CMD_BAUD = 0xAE;
constexpr uint8_t CMD_DEVICE_INFO = 0xBE;
constexpr uint8_t CMD_DEVICE_ID = 0xD1;
constexpr uint8_t CMD_DATA_BEGIN = 0xD7;
constexpr uint8_t CMD_DATA_SECTORS = 0xD8;
constexpr uint8_t CMD_DATA_END = 0xDB;

constexpr int FIRMWARE_CHUNK_MAX = 1024;
constexpr int DATA_BYTES_MAX = 1124;
constexpr int SECTOR_SIZE = 512;
constexpr uint32_t INFO_TEXT_SIZE = 255;
constexpr uint32_t INFO_RECORD_SIZE = 54;
constexpr uint32_t INFO_REPLY_KEPT = 50;

constexpr uint8_t PINS_CBUS0 = 0xF1;       // CBUS0 high
constexpr uint8_t PINS_CBUS0_CBUS2 = 0xF5; // CBUS0 and CBUS2 high
constexpr uint32_t PIN_PAUSE_MS = 100;

const uint8_t DEVICE_ID_FRAME[] = {0x06, 0x00, 0x01, 0x00, CMD_DEVICE_ID, 0xD6};
const uint8_t DEVICE_INFO_FRAME[] = {0x06, 0x00, 0x01, 0x00, CMD_DEVICE_INFO, 0xB9};

enum class ReplyRule { Exactly2, AtLeast2 };

// Sends one request and judges its reply: the command code first, then status 0.
int Exchange(CMachineLink& link, const uint8_t* request, int length, ReplyRule rule)
{
    link.SendFrame(request, length); // a failed write shows as a missing reply
    uint8_t reply[LINK_BUFFER_SIZE] = {};
    uint32_t replyLength = 0;
    if (link.ReceiveFrame(reply, &replyLength, sizeof reply) != LINK_OK)
        return LINK_E_PROTOCOL;
    bool sized = rule == ReplyRule::Exactly2 ? replyLength == 2 : replyLength >= 2;
    if (!sized || reply[0] != request[0])
        return LINK_E_PROTOCOL;
    return reply[1] == 0 ? LINK_OK : LINK_E_PROTOCOL;
}

int SimpleCommand(CMachineLink& link, uint8_t code, ReplyRule rule)
{
    if (!link.m_bOpen)
        return LINK_E_NOT_OPEN;
    return Exchange(link, &code, 1, rule);
}

// Writes a fixed request frame and takes a reply of at least minLength bytes beginning code 00.
int FixedQuery(CMachineLink& link, const uint8_t* frame, uint8_t code, uint32_t minLength, uint8_t* reply,
               uint32_t* replyLength)
{
    uint32_t written = 0;
    if (link.WriteRaw(frame, 6, &written) != 0)
        return LINK_E_PROTOCOL;
    if (link.ReceiveFrame(reply, replyLength, LINK_BUFFER_SIZE) != LINK_OK)
        return LINK_E_PROTOCOL;
    if (*replyLength < minLength || reply[0] != code || reply[1] != 0)
        return LINK_E_PROTOCOL;
    return LINK_OK;
}
} // namespace

int CMachineLink::ReadInfoItem(uint8_t item, uint8_t* text)
{
    if (!m_bOpen)
        return LINK_E_NOT_OPEN;
    const uint8_t request[] = {CMD_READ_INFO, item};
    SendFrame(request, sizeof request);
    uint8_t reply[LINK_BUFFER_SIZE] = {};
    uint32_t replyLength = 0;
    if (ReceiveFrame(reply, &replyLength, sizeof reply) != LINK_OK)
        return LINK_E_PROTOCOL;
    if (replyLength < 3 || reply[0] != CMD_READ_INFO)
        return LINK_E_PROTOCOL;
    if (reply[1] != 0)
        return reply[1];
    uint32_t textLength = replyLength - 2;
    // A text of 255 bytes or more is cut to 254, leaving room for the closing zero.
    if (textLength > INFO_TEXT_SIZE - 1)
        textLength = INFO_TEXT_SIZE - 1;
    std::memcpy(text, reply + 2, textLength);
    text[textLength] = 0;
    return LINK_OK;
}

int CMachineLink::WriteInfoItem(const uint8_t* value)
{
    if (!m_bOpen)
        return LINK_E_NOT_OPEN;
    uint8_t request[8] = {CMD_WRITE_INFO, 0x06, 0x02};
    std::memcpy(request + 3, value, 5);
    return Exchange(*this, request, sizeof request, ReplyRule::Exactly2);
}

int CMachineLink::BeginFirmwareWrite()
{
    if (!m_bOpen)
        return LINK_E_NOT_OPEN;
    uint8_t request[9] = {CMD_FIRMWARE_BEGIN};
    PutLe32(request + 1, 0);
    PutLe32(request + 5, 1);
    return Exchange(*this, request, sizeof request, ReplyRule::Exactly2);
}

int CMachineLink::PrepareFirmwareWrite() { return SimpleCommand(*this, CMD_FIRMWARE_PREPARE, ReplyRule::Exactly2); }

int CMachineLink::WriteFirmwareChunk(const uint8_t* data, int count)
{
    if (!m_bOpen)
        return LINK_E_NOT_OPEN;
    if (count < 0 || count > FIRMWARE_CHUNK_MAX)
        return LINK_E_PROTOCOL;
    uint8_t request[1 + FIRMWARE_CHUNK_MAX] = {CMD_FIRMWARE_CHUNK};
    if (count > 0)
        std::memcpy(request + 1, data, size_t(count));
    return Exchange(*this, request, count + 1, ReplyRule::Exactly2);
}

int CMachineLink::EndFirmwareWrite() { return SimpleCommand(*this, CMD_FIRMWARE_END, ReplyRule::Exactly2); }

int CMachineLink::BeginDataWrite() { return SimpleCommand(*this, CMD_DATA_BEGIN, ReplyRule::AtLeast2); }

int CMachineLink::WriteDataSectors(int address, const uint8_t* data, int count)
{
    int result;
    if (!m_bOpen) {
        result = LINK_E_NOT_OPEN;
    } else if (count < 0 || count > DATA_BYTES_MAX || address < 0) {
        // A negative address has no sector: refused unsent like an oversized count.
        result = LINK_E_PROTOCOL;
    } else {
        uint32_t sectors = uint32_t(count / SECTOR_SIZE + (count % SECTOR_SIZE ? 1 : 0));
        uint8_t request[9 + 3 * SECTOR_SIZE] = {CMD_DATA_SECTORS};
        PutLe32(request + 1, uint32_t(address / SECTOR_SIZE));
        PutLe32(request + 5, sectors);
        if (count > 0)
            std::memcpy(request + 9, data, size_t(count));
        // Sector data would flood the log: neither request nor reply is traced.
        m_bLogTraffic = false;
        result = Exchange(*this, request, int(9 + sectors * SECTOR_SIZE), ReplyRule::AtLeast2);
    }
    m_bLogTraffic = true;
    return result;
}

int CMachineLink::EndDataWrite() { return SimpleCommand(*this, CMD_DATA_END, ReplyRule::AtLeast2); }

int CMachineLink::SetBaudRate(uint32_t rate)
{
    m_driver.SetBaudRate(m_hDevice, LINK_STANDARD_BAUD);
    if (rate != LINK_STANDARD_BAUD) {
        uint8_t request[5] = {CMD_BAUD};
        PutLe32(request + 1, rate);
        SendFrame(request, sizeof request);
        // The machine answers at the old speed before it switches; the answer is not judged.
        uint8_t reply[LINK_BUFFER_SIZE];
        uint32_t replyLength = 0;
        ReceiveFrame(reply, &replyLength, sizeof reply);
    }
    m_driver.SetBaudRate(m_hDevice, rate);
    return LINK_OK;
}

int CMachineLink::GetDeviceId(uint8_t* dest)
{
    uint8_t reply[LINK_BUFFER_SIZE] = {};
    uint32_t replyLength = 0;
    int result = FixedQuery(*this, DEVICE_ID_FRAME, CMD_DEVICE_ID, 10, reply, &replyLength);
    if (result != LINK_OK)
        return result;
    std::memcpy(dest, reply + 2, 8);
    return LINK_OK;
}

int CMachineLink::GetDeviceInfo(uint8_t* dest)
{
    uint8_t reply[LINK_BUFFER_SIZE] = {};
    uint32_t replyLength = 0;
    int result = FixedQuery(*this, DEVICE_INFO_FRAME, CMD_DEVICE_INFO, INFO_REPLY_KEPT, reply, &replyLength);
    if (result != LINK_OK)
        return result;
    const uint8_t head[4] = {59, 0, 50, 0};
    std::memcpy(dest, head, 4);
    std::memcpy(dest + 4, reply, INFO_RECORD_SIZE - 4);
    return LINK_OK;
}

void CMachineLink::PulseRestartPins(bool inBreak)
{
    // CBUS2 pulses high and low; held in break, that is the boot loader's signal.
    FT_STATUS st = m_driver.ResetDevice(m_hDevice);
    if (st == FT_OK)
        st = m_driver.SetBitMode(m_hDevice, PINS_CBUS0, FT_BITMODE_CBUS_BITBANG);
    if (st == FT_OK)
        st = m_driver.SetBitMode(m_hDevice, PINS_CBUS0_CBUS2, FT_BITMODE_CBUS_BITBANG);
    if (inBreak)
        m_driver.SetBreakOn(m_hDevice);
    m_system.Sleep(PIN_PAUSE_MS);
    if (st == FT_OK)
        m_driver.SetBitMode(m_hDevice, PINS_CBUS0, FT_BITMODE_CBUS_BITBANG);
    m_system.Sleep(PIN_PAUSE_MS);
    if (inBreak) {
        m_driver.SetBreakOff(m_hDevice);
        m_system.Sleep(PIN_PAUSE_MS);
    }
    m_driver.Purge(m_hDevice, FT_PURGE_RX);
}

int CMachineLink::EnterBios()
{
    if (!m_bOpen)
        return LINK_E_NOT_OPEN;
    PulseRestartPins(true);
    SetBaudRate(m_dwBaudRate);
    return LINK_OK;
}

int CMachineLink::ResetMachine()
{
    if (!m_bOpen)
        return LINK_E_NOT_OPEN;
    PulseRestartPins(false);
    return LINK_OK;
}

} // namespace vu
