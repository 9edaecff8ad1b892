// One virtual FT232R seen from the USB side: its descriptors, the FTDI
// vendor requests it takes, bulk OUT to the machine and bulk IN packets that
// each start with the two modem-status bytes. Behind it sits a D2XX-shaped
// driver (the virtual FTDI client): every request becomes the driver call
// that the chip's own behaviour corresponds to, so the machine sees the baud
// rate the chip decoded, the pins and the break it set and the bytes it
// carried. Time comes from the system services given, so tests can run the
// latency timer on a virtual clock.
#pragma once

#include "device/FtdiDriver.h"
#include "platform/Platform.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace vu::usbftdi {

constexpr uint16_t FTDI_VENDOR_ID = 0x0403;
constexpr uint16_t FT232R_PRODUCT_ID = 0x6001;
constexpr uint16_t FT232R_BCD_DEVICE = 0x0600; // libftdi tells the chip type by it
constexpr uint8_t BULK_IN_ENDPOINT = 0x81;
constexpr uint8_t BULK_OUT_ENDPOINT = 0x02;
constexpr int PACKET_SIZE = 64;
constexpr int STATUS_BYTES = 2;
constexpr int PACKET_DATA = PACKET_SIZE - STATUS_BYTES; // 62
constexpr size_t RX_FIFO_SIZE = 256;                   // the FT232R's receive buffer
constexpr uint8_t DEFAULT_LATENCY_MS = 16;
constexpr uint8_t MIN_LATENCY_MS = 2;
// Modem status: bit 0 is always set, no modem line is active. Line status:
// transmitter holding register and transmitter empty.
constexpr uint8_t MODEM_STATUS = 0x01;
constexpr uint8_t LINE_STATUS = 0x60;

// The FTDI vendor requests.
enum : uint8_t {
    FTDI_RESET = 0x00,
    FTDI_MODEM_CTRL = 0x01,
    FTDI_SET_FLOW_CTRL = 0x02,
    FTDI_SET_BAUD_RATE = 0x03,
    FTDI_SET_DATA = 0x04,
    FTDI_GET_MODEM_STATUS = 0x05,
    FTDI_SET_EVENT_CHAR = 0x06,
    FTDI_SET_ERROR_CHAR = 0x07,
    FTDI_SET_LATENCY_TIMER = 0x09,
    FTDI_GET_LATENCY_TIMER = 0x0A,
    FTDI_SET_BITMODE = 0x0B,
    FTDI_READ_PINS = 0x0C,
};
// wValue of FTDI_RESET: the whole port, the host-to-machine buffer, the
// machine-to-host buffer.
enum : uint16_t { FTDI_RESET_SIO = 0, FTDI_RESET_PURGE_TX = 1, FTDI_RESET_PURGE_RX = 2 };
// Bit modes an FT232R has: off, asynchronous and synchronous bit-bang on the
// data pins, CBUS bit-bang.
enum : uint8_t { BITMODE_OFF = 0x00, BITMODE_ASYNC = 0x01, BITMODE_SYNC = 0x04, BITMODE_CBUS = 0x20 };

// The FT232R's baud rate generator: 3 MHz divided by an integer n (wValue
// bits 0..13) plus an eighth given by a three-bit code (wValue bits 14 and
// 15, wIndex bit 0): 0, 1/2, 1/4, 1/8, 3/8, 5/8, 3/4, 7/8. n = 0 gives
// 3,000,000 baud and n = 1 gives 2,000,000; a fraction with n below 2 is not
// allowed, nor is any other wIndex bit. The rate is rounded to whole baud.
bool DecodeFt232rBaud(uint16_t value, uint16_t index, uint32_t* baud);

// The strings of one converter.
struct ChipStrings {
    std::string manufacturer = "FTDI";
    std::string product;
    std::string serial;
};
enum : uint8_t { STRING_MANUFACTURER = 1, STRING_PRODUCT = 2, STRING_SERIAL = 3 };

// The standard descriptors, as the device sends them.
std::vector<uint8_t> DeviceDescriptorBytes();
std::vector<uint8_t> ConfigDescriptorBytes();
// String 0 is the language list (US English); false for an index the device has not.
bool StringDescriptorBytes(const ChipStrings& strings, uint8_t index, std::vector<uint8_t>* bytes);

// One bulk IN transfer under way: packets are appended to buffer.
struct InTransfer {
    uint8_t* buffer = nullptr;
    int length = 0;
    int actual = 0;
    bool overflow = false; // the device sent a packet bigger than the room left
};

class CFt232rChip {
public:
    CFt232rChip(IFtdiDriver& driver, ISystemServices& sys, std::string description);
    ~CFt232rChip(); // closes the machine's side if it is open
    CFt232rChip(const CFt232rChip&) = delete;
    CFt232rChip& operator=(const CFt232rChip&) = delete;

    // Takes the converter (the driver's open by description). USB_SUCCESS,
    // USB_ERROR_BUSY when no free converter has the description,
    // USB_ERROR_NO_DEVICE when the simulator cannot be reached.
    int Attach();
    bool Attached() const { return m_hDevice != nullptr; }
    void Detach();

    // A vendor request (bmRequestType 0x40 or 0xC0). The bytes of an IN
    // request's answer, 0 for an OUT request, or a libusb error:
    // USB_ERROR_PIPE (a stall) for a request an FT232R does not take.
    int VendorRequest(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                      uint16_t length);

    // Bulk OUT: the bytes go to the machine. USB_SUCCESS or USB_ERROR_NO_DEVICE.
    int BulkOut(const uint8_t* data, int length, int* transferred);

    // Bulk IN: runs the transfer until it completes (a short packet, or the
    // buffer full) or the tick count reaches waitUntil. 1: complete; 0: not
    // yet; below 0: a libusb error.
    int BulkInStep(InTransfer& t, uint32_t waitUntil);

    // A stalled converter: it answers no bulk IN request any more, so every
    // read runs into its own time-out (fault injection for the host's waits).
    void SetStalled(bool stalled) { m_bStalled = stalled; }

    // The state the requests left, for tests.
    uint32_t BaudRate() const { return m_baud; }
    uint8_t LatencyMs() const { return m_latencyMs; }
    uint8_t BitMode() const { return m_bitMode; }
    uint8_t BitMask() const { return m_bitMask; }
    size_t Buffered() const { return m_fifo.size(); }

private:
    struct Line {
        uint8_t bits = 8, stopBits = 0, parity = 0;
        bool operator==(const Line&) const = default;
    };

    int Call(FT_STATUS status) const;
    int SetData(uint16_t value);
    int SetBaud(uint16_t value, uint16_t index);
    int SetBitMode(uint16_t value);
    int SetChar(uint8_t request, uint16_t value);
    int Reset(uint16_t value);
    // Fetches what the machine's side has queued, as far as the buffer holds.
    int Pull(uint32_t queued);
    // Waits up to ms for the machine's side to queue a byte; the count queued.
    int WaitForBytes(uint32_t ms, uint32_t* queued);
    bool EventCharBuffered() const;

    IFtdiDriver& m_driver;
    ISystemServices& m_sys;
    std::string m_description;
    FT_HANDLE m_hDevice = nullptr;
    bool m_bWaitReceive = true; // false once the simulator refused WAIT_RECEIVE
    bool m_bStalled = false;

    // What the requests set.
    uint32_t m_baud = 9600;
    Line m_line;
    bool m_bBreak = false;
    uint8_t m_latencyMs = DEFAULT_LATENCY_MS;
    uint8_t m_eventChar = 0x7E, m_errorChar = 0;
    bool m_bEventEnabled = false, m_bErrorEnabled = false;
    uint8_t m_bitMode = BITMODE_OFF, m_bitMask = 0;
    uint8_t m_modemControl = 0; // DTR bit 0, RTS bit 1
    uint16_t m_flowControl = 0;

    // Received bytes not yet sent to the host, and when the last packet went.
    std::deque<uint8_t> m_fifo;
    uint32_t m_lastPacketTick = 0;
};

} // namespace vu::usbftdi
