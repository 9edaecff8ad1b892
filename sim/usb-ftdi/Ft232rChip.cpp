#include "sim/usb-ftdi/Ft232rChip.h"

#include "sim/usb-ftdi/UsbAbi.h"

#include <algorithm>
#include <cstring>

namespace vu::usbftdi {

namespace {

// Sub-integer code (wIndex bit 0, wValue bits 15 and 14) to eighths.
constexpr uint8_t EIGHTHS[8] = {0, 4, 2, 1, 3, 5, 6, 7};
constexpr uint32_t BAUD_CLOCK = 3000000;
constexpr size_t MAX_STRING_CHARS = 126; // bLength is one byte

void PutLe16(std::vector<uint8_t>& v, uint16_t x)
{
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}

} // namespace

bool DecodeFt232rBaud(uint16_t value, uint16_t index, uint32_t* baud)
{
    if (index & ~1u)
        return false;
    const uint32_t n = value & 0x3FFF;
    const uint32_t eighths = EIGHTHS[(value >> 14) | ((index & 1u) << 2)];
    if (n < 2) {
        if (eighths != 0)
            return false;
        *baud = n == 0 ? BAUD_CLOCK : 2000000;
        return true;
    }
    const uint32_t divisor8 = n * 8 + eighths;
    *baud = (BAUD_CLOCK * 8 + divisor8 / 2) / divisor8;
    return true;
}

std::vector<uint8_t> DeviceDescriptorBytes()
{
    std::vector<uint8_t> d{18, USB_DT_DEVICE};
    PutLe16(d, 0x0200);          // USB 2.0
    d.insert(d.end(), {0, 0, 0}); // class per interface
    d.push_back(8);              // control endpoint packet size
    PutLe16(d, FTDI_VENDOR_ID);
    PutLe16(d, FT232R_PRODUCT_ID);
    PutLe16(d, FT232R_BCD_DEVICE);
    d.insert(d.end(), {STRING_MANUFACTURER, STRING_PRODUCT, STRING_SERIAL, 1});
    return d;
}

std::vector<uint8_t> ConfigDescriptorBytes()
{
    std::vector<uint8_t> d{9, USB_DT_CONFIG};
    PutLe16(d, 9 + 9 + 7 + 7);
    d.insert(d.end(), {1, 1, 0, 0xA0, 45}); // one interface, value 1, bus powered, remote wake-up, 90 mA
    d.insert(d.end(), {9, USB_DT_INTERFACE, 0, 0, 2, 0xFF, 0xFF, 0xFF, STRING_PRODUCT});
    for (uint8_t endpoint : {BULK_IN_ENDPOINT, BULK_OUT_ENDPOINT}) {
        d.insert(d.end(), {7, USB_DT_ENDPOINT, endpoint, USB_ENDPOINT_TRANSFER_TYPE_BULK});
        PutLe16(d, PACKET_SIZE);
        d.push_back(0);
    }
    return d;
}

bool StringDescriptorBytes(const ChipStrings& strings, uint8_t index, std::vector<uint8_t>* bytes)
{
    bytes->clear();
    if (index == 0) {
        *bytes = {4, USB_DT_STRING, 0x09, 0x04};
        return true;
    }
    const std::string* text = index == STRING_MANUFACTURER ? &strings.manufacturer
                              : index == STRING_PRODUCT    ? &strings.product
                              : index == STRING_SERIAL     ? &strings.serial
                                                           : nullptr;
    if (!text)
        return false;
    // The converter's strings are 8-bit text; each byte is one UTF-16 unit.
    size_t n = std::min(text->size(), MAX_STRING_CHARS);
    bytes->push_back(uint8_t(2 + 2 * n));
    bytes->push_back(USB_DT_STRING);
    for (size_t i = 0; i < n; ++i)
        PutLe16(*bytes, uint8_t((*text)[i]));
    return true;
}

CFt232rChip::CFt232rChip(IFtdiDriver& driver, ISystemServices& sys, std::string description)
    : m_driver(driver), m_sys(sys), m_description(std::move(description)), m_lastPacketTick(sys.TickCount())
{
}

CFt232rChip::~CFt232rChip() { Detach(); }

int CFt232rChip::Attach()
{
    if (m_hDevice)
        return USB_SUCCESS;
    FT_HANDLE h = nullptr;
    FT_STATUS st = m_driver.OpenByDescription(m_description.c_str(), &h);
    if (st == FT_DEVICE_NOT_FOUND)
        return USB_ERROR_BUSY; // listed, but held by someone else (or gone since)
    if (st != FT_OK || !h)
        return USB_ERROR_NO_DEVICE;
    m_hDevice = h;
    // A converter freshly taken: as the simulator's open leaves it.
    m_baud = 9600;
    m_line = Line{};
    m_bBreak = false;
    m_latencyMs = DEFAULT_LATENCY_MS;
    m_bEventEnabled = m_bErrorEnabled = false;
    m_bitMode = BITMODE_OFF;
    m_bitMask = 0;
    m_fifo.clear();
    m_lastPacketTick = m_sys.TickCount();
    return USB_SUCCESS;
}

void CFt232rChip::Detach()
{
    if (!m_hDevice)
        return;
    m_driver.Close(m_hDevice);
    m_hDevice = nullptr;
    m_fifo.clear();
}

int CFt232rChip::Call(FT_STATUS status) const
{
    if (status == FT_OK)
        return USB_SUCCESS;
    // The connection to the simulator broke: to the host, the device is gone.
    if (status == FT_IO_ERROR || status == FT_INVALID_HANDLE || status == FT_DEVICE_NOT_OPENED)
        return USB_ERROR_NO_DEVICE;
    return USB_ERROR_PIPE; // the machine's side refused it: the chip stalls the request
}

int CFt232rChip::VendorRequest(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                               uint16_t length)
{
    if (!m_hDevice)
        return USB_ERROR_NO_DEVICE;
    const bool in = requestType & USB_ENDPOINT_IN;
    if ((requestType & USB_REQUEST_TYPE_MASK) != USB_REQUEST_TYPE_VENDOR ||
        (requestType & USB_RECIPIENT_MASK) != USB_RECIPIENT_DEVICE)
        return USB_ERROR_PIPE;

    // The requests that answer with data.
    uint8_t answer[2];
    int answerLength = -1;
    switch (request) {
    case FTDI_GET_MODEM_STATUS:
        answer[0] = MODEM_STATUS;
        answer[1] = LINE_STATUS;
        answerLength = 2;
        break;
    case FTDI_GET_LATENCY_TIMER:
        answer[0] = m_latencyMs;
        answerLength = 1;
        break;
    case FTDI_READ_PINS:
        if (m_bitMode == BITMODE_CBUS) {
            // Outputs read back their level; inputs read high (pulled up).
            const uint8_t outputs = m_bitMask >> 4;
            answer[0] = uint8_t(((m_bitMask & outputs) | ~outputs) & 0x0F);
        } else {
            answer[0] = 0xFF; // the idle UART and control lines
        }
        answerLength = 1;
        break;
    default:
        break;
    }
    if (answerLength >= 0) {
        if (!in)
            return USB_ERROR_PIPE;
        const int n = std::min<int>(answerLength, length);
        if (n > 0 && !data)
            return USB_ERROR_INVALID_PARAM;
        std::memcpy(data, answer, size_t(n));
        return n;
    }
    if (in)
        return USB_ERROR_PIPE;

    // The baud rate's wIndex carries part of the divisor; every other
    // request's carries the port: 0 or 1 (port A) on a one-port chip.
    if (request != FTDI_SET_BAUD_RATE && (index & 0xFF) > 1)
        return USB_ERROR_PIPE;
    switch (request) {
    case FTDI_RESET:
        return Reset(value);
    case FTDI_MODEM_CTRL: {
        // Low byte: DTR (bit 0) and RTS (bit 1); high byte: which of them to set.
        const uint8_t which = uint8_t(value >> 8) & 0x03;
        m_modemControl = uint8_t((m_modemControl & ~which) | (value & which));
        return USB_SUCCESS; // no line of the virtual link carries them
    }
    case FTDI_SET_FLOW_CTRL: {
        const uint16_t flow = index >> 8;
        if (flow != 0 && flow != 1 && flow != 2 && flow != 4) // none, RTS/CTS, DTR/DSR, XON/XOFF
            return USB_ERROR_PIPE;
        m_flowControl = flow;
        return USB_SUCCESS;
    }
    case FTDI_SET_BAUD_RATE:
        return SetBaud(value, index);
    case FTDI_SET_DATA:
        return SetData(value);
    case FTDI_SET_EVENT_CHAR:
    case FTDI_SET_ERROR_CHAR:
        return SetChar(request, value);
    case FTDI_SET_LATENCY_TIMER: {
        if (value < MIN_LATENCY_MS || value > 255)
            return USB_ERROR_PIPE;
        FT_STATUS st = m_driver.SetLatencyTimer(m_hDevice, uint8_t(value));
        // The timer is the chip's own; a simulator that models none may not know the call.
        if (st != FT_NOT_SUPPORTED)
            if (int r = Call(st))
                return r;
        m_latencyMs = uint8_t(value);
        return USB_SUCCESS;
    }
    case FTDI_SET_BITMODE:
        return SetBitMode(value);
    default:
        return USB_ERROR_PIPE;
    }
}

int CFt232rChip::Reset(uint16_t value)
{
    switch (value) {
    case FTDI_RESET_SIO:
        m_fifo.clear();
        return Call(m_driver.ResetDevice(m_hDevice));
    case FTDI_RESET_PURGE_RX:
        m_fifo.clear();
        return Call(m_driver.Purge(m_hDevice, FT_PURGE_RX));
    case FTDI_RESET_PURGE_TX:
        return Call(m_driver.Purge(m_hDevice, FT_PURGE_TX));
    default:
        return USB_ERROR_PIPE;
    }
}

int CFt232rChip::SetBaud(uint16_t value, uint16_t index)
{
    uint32_t baud = 0;
    if (!DecodeFt232rBaud(value, index, &baud))
        return USB_ERROR_PIPE;
    if (int r = Call(m_driver.SetBaudRate(m_hDevice, baud)))
        return r;
    m_baud = baud;
    return USB_SUCCESS;
}

int CFt232rChip::SetData(uint16_t value)
{
    // Bits 0..7 data bits, 8..10 parity, 11..13 stop bits, 14 break.
    Line line;
    line.bits = uint8_t(value & 0xFF);
    line.parity = uint8_t((value >> 8) & 0x07);
    line.stopBits = uint8_t((value >> 11) & 0x07);
    const bool breakOn = value & 0x4000;
    // The FT232R: 7 or 8 data bits, 1 or 2 stop bits, none/odd/even/mark/space.
    if ((line.bits != 7 && line.bits != 8) || line.parity > 4 || (line.stopBits != 0 && line.stopBits != 2) ||
        (value & 0x8000))
        return USB_ERROR_PIPE;
    // One request sets line and break together; the machine sees what changed.
    if (!(line == m_line)) {
        if (int r = Call(m_driver.SetDataCharacteristics(m_hDevice, line.bits, line.stopBits, line.parity)))
            return r;
        m_line = line;
    }
    if (breakOn != m_bBreak) {
        if (int r = Call(breakOn ? m_driver.SetBreakOn(m_hDevice) : m_driver.SetBreakOff(m_hDevice)))
            return r;
        m_bBreak = breakOn;
    }
    return USB_SUCCESS;
}

int CFt232rChip::SetBitMode(uint16_t value)
{
    const uint8_t mask = uint8_t(value), mode = uint8_t(value >> 8);
    if (mode != BITMODE_OFF && mode != BITMODE_ASYNC && mode != BITMODE_SYNC && mode != BITMODE_CBUS)
        return USB_ERROR_PIPE; // MPSSE, MCU host bus, opto, FIFO modes belong to other chips
    if (int r = Call(m_driver.SetBitMode(m_hDevice, mask, mode)))
        return r;
    m_bitMode = mode;
    m_bitMask = mask;
    return USB_SUCCESS;
}

int CFt232rChip::SetChar(uint8_t request, uint16_t value)
{
    const uint8_t ch = uint8_t(value);
    const bool enabled = value & 0x100;
    if (request == FTDI_SET_EVENT_CHAR) {
        m_eventChar = ch;
        m_bEventEnabled = enabled;
    } else {
        m_errorChar = ch;
        m_bErrorEnabled = enabled;
    }
    FT_STATUS st = m_driver.SetChars(m_hDevice, m_eventChar, m_bEventEnabled, m_errorChar, m_bErrorEnabled);
    // The event character is applied here, where the packets are made, whatever the simulator knows.
    return st == FT_NOT_SUPPORTED ? USB_SUCCESS : Call(st);
}

int CFt232rChip::BulkOut(const uint8_t* data, int length, int* transferred)
{
    *transferred = 0;
    if (!m_hDevice)
        return USB_ERROR_NO_DEVICE;
    if (length <= 0)
        return USB_SUCCESS;
    if (m_bitMode == BITMODE_ASYNC || m_bitMode == BITMODE_SYNC) {
        // The bytes drive the data pins, not the UART: nothing reaches the machine's serial line.
        *transferred = length;
        return USB_SUCCESS;
    }
    uint32_t written = 0;
    if (int r = Call(m_driver.Write(m_hDevice, data, uint32_t(length), &written)))
        return r;
    *transferred = int(std::min<uint32_t>(written, uint32_t(length)));
    // Bytes the chip did not take are NAKed until the host gives up.
    return *transferred < length ? USB_ERROR_TIMEOUT : USB_SUCCESS;
}

int CFt232rChip::Pull(uint32_t queued)
{
    const size_t room = RX_FIFO_SIZE - m_fifo.size();
    const uint32_t want = uint32_t(std::min<size_t>(queued, room));
    if (want == 0)
        return USB_SUCCESS;
    uint8_t bytes[RX_FIFO_SIZE];
    uint32_t got = 0;
    if (int r = Call(m_driver.Read(m_hDevice, bytes, want, &got)))
        return r;
    got = std::min(got, want);
    m_fifo.insert(m_fifo.end(), bytes, bytes + got);
    return USB_SUCCESS;
}

int CFt232rChip::WaitForBytes(uint32_t ms, uint32_t* queued)
{
    *queued = 0;
    if (m_bWaitReceive) {
        FT_STATUS st = m_driver.WaitReceive(m_hDevice, ms, queued);
        if (st != FT_NOT_SUPPORTED)
            return Call(st);
        m_bWaitReceive = false; // a simulator without the receive wait: poll it
    }
    const uint32_t start = m_sys.TickCount();
    for (;;) {
        uint32_t tx = 0, events = 0;
        if (int r = Call(m_driver.GetStatus(m_hDevice, queued, &tx, &events)))
            return r;
        if (*queued > 0 || m_sys.TickCount() - start >= ms)
            return USB_SUCCESS;
        m_sys.Sleep(1);
    }
}

bool CFt232rChip::EventCharBuffered() const
{
    return m_bEventEnabled && std::find(m_fifo.begin(), m_fifo.end(), m_eventChar) != m_fifo.end();
}

int CFt232rChip::BulkInStep(InTransfer& t, uint32_t waitUntil)
{
    if (!m_hDevice)
        return USB_ERROR_NO_DEVICE;
    if (m_bStalled) {
        const int32_t left = int32_t(waitUntil - m_sys.TickCount());
        if (left > 0)
            m_sys.Sleep(uint32_t(left));
        return 0;
    }
    uint32_t queued = 0;
    {
        uint32_t tx = 0, events = 0;
        if (int r = Call(m_driver.GetStatus(m_hDevice, &queued, &tx, &events)))
            return r;
    }
    for (;;) {
        if (int r = Pull(queued))
            return r;
        queued = 0;
        if (t.actual >= t.length)
            return 1;

        // A packet goes when 62 bytes have gathered, when the enabled event
        // character came, or when the latency timer ran out (then even with
        // no data: the two status bytes alone).
        const uint32_t now = m_sys.TickCount();
        const bool timerOut = now - m_lastPacketTick >= m_latencyMs;
        if (m_fifo.size() >= size_t(PACKET_DATA) || EventCharBuffered() || timerOut) {
            const size_t n = std::min(m_fifo.size(), size_t(PACKET_DATA));
            uint8_t packet[PACKET_SIZE] = {MODEM_STATUS, LINE_STATUS};
            std::copy(m_fifo.begin(), m_fifo.begin() + std::ptrdiff_t(n), packet + STATUS_BYTES);
            m_fifo.erase(m_fifo.begin(), m_fifo.begin() + std::ptrdiff_t(n));
            m_lastPacketTick = now;
            const int size = STATUS_BYTES + int(n);
            const int room = t.length - t.actual;
            if (size > room) {
                // The host asked for less than the device sends: what fits, and an overflow.
                std::memcpy(t.buffer + t.actual, packet, size_t(room));
                t.actual += room;
                t.overflow = true;
                return 1;
            }
            std::memcpy(t.buffer + t.actual, packet, size_t(size));
            t.actual += size;
            if (size < PACKET_SIZE)
                return 1; // a short packet ends the transfer
            // A full packet: the buffer may hold more, and the machine's side too.
            uint32_t tx = 0, events = 0;
            if (m_fifo.size() < RX_FIFO_SIZE)
                if (int r = Call(m_driver.GetStatus(m_hDevice, &queued, &tx, &events)))
                    return r;
            continue;
        }

        // Nothing to send yet: wait for bytes, up to the timer or the caller's limit.
        const int32_t toLimit = int32_t(waitUntil - now);
        if (toLimit <= 0)
            return 0;
        const int32_t toTimer = int32_t(m_lastPacketTick + m_latencyMs - now);
        if (int r = WaitForBytes(uint32_t(std::max(1, std::min(toLimit, toTimer))), &queued))
            return r;
    }
}

} // namespace vu::usbftdi
