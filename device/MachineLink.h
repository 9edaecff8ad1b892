// One USB serial link to the machine: raw write and timed read, frames,
// device commands and the card reader's commands. The link is given the
// driver it talks through and the clock its time limits and pauses use.
#pragma once

#include "device/FtdiDriver.h"
#include "platform/Platform.h"

#include <cstdint>

namespace vu {

enum : int {
    LINK_OK = 0,
    LINK_E_PROTOCOL = 7,
    LINK_E_NOT_OPEN = 8,
    LINK_E_TIMEOUT = 9,
    LINK_E_BLOCK_TOO_LONG = 18,
};

constexpr uint32_t LINK_STANDARD_BAUD = 115200;
constexpr uint32_t LINK_HIGH_BAUD = 2000000;
constexpr uint32_t LINK_BUFFER_SIZE = 5000;

// The converter descriptions an open tries, in this order.
constexpr int LINK_DESCRIPTION_COUNT = 5;
extern const char* const LINK_DESCRIPTIONS[LINK_DESCRIPTION_COUNT];

class CMachineLink {
public:
    CMachineLink(IFtdiDriver& driver, ISystemServices& system, uint32_t baudRate = LINK_STANDARD_BAUD);
    CMachineLink(const CMachineLink&) = delete;
    CMachineLink& operator=(const CMachineLink&) = delete;
    ~CMachineLink() = default; // does not close: Close is an explicit step

    // Port
    int Open();
    int TryOpen();
    void Close();
    int WriteRaw(const uint8_t* data, uint32_t count, uint32_t* written);
    int ReadRaw(uint8_t* dest, uint32_t* count, uint32_t timeoutMs); // dest holds LINK_BUFFER_SIZE

    // Frames
    int SendFrame(const uint8_t* payload, int length);
    int SendCardFrame(const uint8_t* payload, int length);
    int ReceiveFrame(uint8_t* dest, uint32_t* length, uint32_t capacity = LINK_BUFFER_SIZE);
    int ReceiveCardFrame(uint8_t* dest, uint32_t* length, uint32_t capacity);

    // Device commands
    int ReadInfoItem(uint8_t item, uint8_t* text); // text holds 255 bytes
    int WriteInfoItem(const uint8_t* value);       // five bytes
    int BeginFirmwareWrite();
    int PrepareFirmwareWrite();
    int WriteFirmwareChunk(const uint8_t* data, int count);
    int EndFirmwareWrite();
    int BeginDataWrite();
    int WriteDataSectors(int address, const uint8_t* data, int count);
    int EndDataWrite();
    int SetBaudRate(uint32_t rate);
    int GetDeviceId(uint8_t* dest);   // 8 bytes
    int GetDeviceInfo(uint8_t* dest); // 54 bytes
    int EnterBios();
    int ResetMachine();

    // Card reader commands
    int Card_PowerOn();
    int Card_Send(const uint8_t* data, int count);
    int Card_Receive(uint8_t* dest, uint32_t* count, uint32_t capacity);

    IFtdiDriver& Driver() const { return m_driver; }
    ISystemServices& System() const { return m_system; }

    FT_HANDLE m_hDevice = nullptr;
    bool m_bOpen = false;
    uint32_t m_dwBaudRate;
    bool m_bLogTraffic = true;
    uint8_t m_cardRx[LINK_BUFFER_SIZE] = {};
    uint32_t m_nCardRxLen = 0;

private:
    // The restart pulse on the CBUS pins; inBreak holds the line in break
    // around it, which starts the boot loader instead of the firmware.
    void PulseRestartPins(bool inBreak);

    IFtdiDriver& m_driver;
    ISystemServices& m_system;
};

} // namespace vu
