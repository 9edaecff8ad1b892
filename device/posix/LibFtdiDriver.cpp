#include "device/posix/LibFtdiDriver.h"

#include "log/Format.h"
#include "log/Log.h"
#include "platform/Platform.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace vu {

struct CLibFtdiDriver::COpenConverter {
    ftdi_context* pContext = nullptr;
    uint8_t latencyMs = 16;
    uint8_t rx[RX_BUFFER_SIZE];
    uint32_t nRxLen = 0;
    // The line as last set, so that a break on or off keeps it.
    ftdi_bits_type bits = BITS_8;
    ftdi_stopbits_type stopBits = STOP_BIT_1;
    ftdi_parity_type parity = NONE;
    ftdi_break_type breakState = BREAK_OFF;
};

// The converters on the bus, product id by product id; frees libftdi's lists.
class CLibFtdiDriver::CConverterList {
public:
    explicit CConverterList(ILibFtdi& api) : m_api(api) {}
    ~CConverterList()
    {
        for (ftdi_device_list*& list : m_lists)
            m_api.ListFree(&list);
    }
    CConverterList(const CConverterList&) = delete;
    CConverterList& operator=(const CConverterList&) = delete;

    // 0, or the result of the ftdi_usb_find_all that failed.
    int Find(ftdi_context* context)
    {
        for (int product : FTDI_PRODUCT_IDS) {
            ftdi_device_list* list = nullptr;
            int result = m_api.UsbFindAll(context, &list, FTDI_VENDOR_ID, product);
            if (list)
                m_lists.push_back(list); // a failed search may still have built part of a list
            if (result < 0)
                return result;
            for (ftdi_device_list* entry = list; entry; entry = entry->next)
                m_devices.push_back(entry->dev);
        }
        return 0;
    }
    const std::vector<libusb_device*>& Devices() const { return m_devices; }

private:
    ILibFtdi& m_api;
    std::vector<ftdi_device_list*> m_lists;
    std::vector<libusb_device*> m_devices;
};

CLibFtdiDriver::CLibFtdiDriver(std::unique_ptr<ILibFtdi> api, ISystemServices& clock)
    : m_pApi(std::move(api)), m_clock(clock)
{
}

CLibFtdiDriver::~CLibFtdiDriver()
{
    for (auto& c : m_open) {
        m_pApi->UsbClose(c->pContext);
        m_pApi->Free(c->pContext);
    }
    if (m_pEnumContext)
        m_pApi->Free(m_pEnumContext);
}

CLibFtdiDriver::COpenConverter* CLibFtdiDriver::Find(FT_HANDLE h)
{
    for (auto& c : m_open)
        if (c.get() == h)
            return c.get();
    return nullptr;
}

void CLibFtdiDriver::LogFailure(const std::wstring& line)
{
    // The link's open loop repeats a failing attempt back to back for seconds:
    // the same failure again, with nothing opened in between, is logged once.
    if (line == m_strLastFailure)
        return;
    m_strLastFailure = line;
    WriteLog(line);
}

FT_STATUS CLibFtdiDriver::Failed(const char* call, int result, ftdi_context* context, FT_STATUS status)
{
    const char* text = context ? m_pApi->GetErrorString(context) : nullptr;
    LogFailure(Format(L"libftdi %S failed (%d): %S", call, result, text ? text : "no error text"));
    return status;
}

FT_STATUS CLibFtdiDriver::EnumerationContext(ftdi_context** context)
{
    if (!m_pEnumContext)
        m_pEnumContext = m_pApi->New();
    *context = m_pEnumContext;
    if (!m_pEnumContext)
        return Failed("ftdi_new", 0, nullptr, FT_OTHER_ERROR);
    return FT_OK;
}

FT_STATUS CLibFtdiDriver::ListDevicesCount(uint32_t* count)
{
    if (!count)
        return FT_INVALID_PARAMETER;
    *count = 0;
    std::lock_guard<std::mutex> lock(m_lock);
    ftdi_context* context;
    if (FT_STATUS st = EnumerationContext(&context))
        return st;
    CConverterList list(*m_pApi);
    if (int result = list.Find(context); result < 0)
        return Failed("ftdi_usb_find_all", result, context, FT_IO_ERROR);
    *count = static_cast<uint32_t>(list.Devices().size());
    return FT_OK;
}

FT_STATUS CLibFtdiDriver::ListDescriptions(std::vector<std::string>* descriptions)
{
    if (!descriptions)
        return FT_INVALID_PARAMETER;
    descriptions->clear();
    std::lock_guard<std::mutex> lock(m_lock);
    ftdi_context* context;
    if (FT_STATUS st = EnumerationContext(&context))
        return st;
    CConverterList list(*m_pApi);
    if (int result = list.Find(context); result < 0)
        return Failed("ftdi_usb_find_all", result, context, FT_IO_ERROR);
    FT_STATUS st = FT_OK;
    for (libusb_device* dev : list.Devices()) {
        char product[PRODUCT_STRING_SIZE] = {};
        int result = m_pApi->UsbGetStrings(context, dev, nullptr, 0, product, sizeof product, nullptr, 0);
        if (result < 0) {
            st = Failed("ftdi_usb_get_strings", result, context, FT_IO_ERROR);
            continue;
        }
        product[sizeof product - 1] = 0;
        descriptions->push_back(product);
    }
    return st;
}

FT_STATUS CLibFtdiDriver::OpenByDescription(const char* description, FT_HANDLE* handle)
{
    if (!description || !handle)
        return FT_INVALID_PARAMETER;
    *handle = nullptr;
    std::lock_guard<std::mutex> lock(m_lock);

    // A context of its own: it holds the converter once open.
    ftdi_context* context = m_pApi->New();
    if (!context)
        return Failed("ftdi_new", 0, nullptr, FT_OTHER_ERROR);
    // The kernel's serial driver lets go of the converter at open and gets it
    // back at close (libftdi's default would leave it detached).
    m_pApi->SetModuleDetachMode(context, AUTO_DETACH_REATACH_SIO_MODULE);

    auto c = std::make_unique<COpenConverter>();
    c->pContext = context;
    FT_STATUS st = FT_DEVICE_NOT_FOUND;
    {
        CConverterList list(*m_pApi);
        if (int result = list.Find(context); result < 0)
            st = Failed("ftdi_usb_find_all", result, context, FT_IO_ERROR);
        else
            for (libusb_device* dev : list.Devices()) {
                char product[PRODUCT_STRING_SIZE] = {};
                int result = m_pApi->UsbGetStrings(context, dev, nullptr, 0, product, sizeof product, nullptr, 0);
                if (result < 0) {
                    // Unreadable (often: no permission); it cannot be the one asked for.
                    Failed("ftdi_usb_get_strings", result, context, FT_IO_ERROR);
                    continue;
                }
                product[sizeof product - 1] = 0;
                if (std::strcmp(product, description) != 0)
                    continue;
                if ((result = m_pApi->UsbOpenDev(context, dev)) < 0) {
                    st = Failed("ftdi_usb_open_dev", result, context, FT_DEVICE_NOT_OPENED);
                } else if ((st = SetLatency(*c, LATENCY_TIMER_MS, FT_DEVICE_NOT_OPENED)) != FT_OK) {
                    m_pApi->UsbClose(context);
                } else if ((result = m_pApi->ReadDataSetChunksize(context, READ_CHUNK_SIZE)) < 0) {
                    st = Failed("ftdi_read_data_set_chunksize", result, context, FT_DEVICE_NOT_OPENED);
                    m_pApi->UsbClose(context);
                }
                break;
            }
    } // the lists go; an open converter keeps its own reference
    if (st != FT_OK) {
        m_pApi->Free(context);
        return st;
    }
    *handle = c.get();
    m_open.push_back(std::move(c));
    m_strLastFailure.clear();
    return FT_OK;
}

FT_STATUS CLibFtdiDriver::SetLatency(COpenConverter& c, uint8_t ms, FT_STATUS failure)
{
    int result = m_pApi->SetLatencyTimer(c.pContext, ms);
    if (result < 0)
        return Failed("ftdi_set_latency_timer", result, c.pContext, failure);
    c.latencyMs = ms;
    // Without this, a stalled converter holds a single read for libftdi's 5 s.
    m_pApi->SetUsbReadTimeout(c.pContext, ms + USB_READ_MARGIN_MS);
    return FT_OK;
}

FT_STATUS CLibFtdiDriver::SetLatencyTimer(FT_HANDLE h, uint8_t ms)
{
    std::lock_guard<std::mutex> lock(m_lock);
    COpenConverter* c = Find(h);
    if (!c)
        return FT_INVALID_HANDLE;
    if (ms < 2) // the D2XX range; libftdi would also take 1
        return FT_INVALID_PARAMETER;
    return SetLatency(*c, ms, FT_IO_ERROR);
}

FT_STATUS CLibFtdiDriver::SetChars(FT_HANDLE h, uint8_t eventChar, uint8_t eventEnable, uint8_t errorChar,
                                   uint8_t errorEnable)
{
    std::lock_guard<std::mutex> lock(m_lock);
    COpenConverter* c = Find(h);
    if (!c)
        return FT_INVALID_HANDLE;
    int result = m_pApi->SetEventChar(c->pContext, eventChar, eventEnable ? 1 : 0);
    if (result < 0)
        return Failed("ftdi_set_event_char", result, c->pContext, FT_IO_ERROR);
    result = m_pApi->SetErrorChar(c->pContext, errorChar, errorEnable ? 1 : 0);
    if (result < 0)
        return Failed("ftdi_set_error_char", result, c->pContext, FT_IO_ERROR);
    return FT_OK;
}

FT_STATUS CLibFtdiDriver::SetLine(COpenConverter& c, ftdi_bits_type bits, ftdi_stopbits_type stopBits,
                                  ftdi_parity_type parity, ftdi_break_type breakState)
{
    int result = m_pApi->SetLineProperty2(c.pContext, bits, stopBits, parity, breakState);
    if (result < 0)
        return Failed("ftdi_set_line_property2", result, c.pContext, FT_IO_ERROR);
    c.bits = bits;
    c.stopBits = stopBits;
    c.parity = parity;
    c.breakState = breakState;
    return FT_OK;
}

FT_STATUS CLibFtdiDriver::SetDataCharacteristics(FT_HANDLE h, uint8_t wordLength, uint8_t stopBits, uint8_t parity)
{
    std::lock_guard<std::mutex> lock(m_lock);
    COpenConverter* c = Find(h);
    if (!c)
        return FT_INVALID_HANDLE;
    // The D2XX values and libftdi's enumerations agree: 7/8 bits, stop 0/1/2, parity 0..4.
    if ((wordLength != BITS_7 && wordLength != BITS_8) || stopBits > STOP_BIT_2 || parity > SPACE)
        return FT_INVALID_PARAMETER;
    return SetLine(*c, static_cast<ftdi_bits_type>(wordLength), static_cast<ftdi_stopbits_type>(stopBits),
                   static_cast<ftdi_parity_type>(parity), c->breakState);
}

FT_STATUS CLibFtdiDriver::SetBreakOn(FT_HANDLE h)
{
    std::lock_guard<std::mutex> lock(m_lock);
    COpenConverter* c = Find(h);
    if (!c)
        return FT_INVALID_HANDLE;
    return SetLine(*c, c->bits, c->stopBits, c->parity, BREAK_ON);
}

FT_STATUS CLibFtdiDriver::SetBreakOff(FT_HANDLE h)
{
    std::lock_guard<std::mutex> lock(m_lock);
    COpenConverter* c = Find(h);
    if (!c)
        return FT_INVALID_HANDLE;
    return SetLine(*c, c->bits, c->stopBits, c->parity, BREAK_OFF);
}

FT_STATUS CLibFtdiDriver::SetBaudRate(FT_HANDLE h, uint32_t baud)
{
    std::lock_guard<std::mutex> lock(m_lock);
    COpenConverter* c = Find(h);
    if (!c)
        return FT_INVALID_HANDLE;
    if (baud > INT_MAX)
        return FT_INVALID_PARAMETER;
    int result = m_pApi->SetBaudrate(c->pContext, static_cast<int>(baud));
    if (result < 0)
        return Failed("ftdi_set_baudrate", result, c->pContext, FT_IO_ERROR);
    return FT_OK;
}

FT_STATUS CLibFtdiDriver::Write(FT_HANDLE h, const void* data, uint32_t count, uint32_t* written)
{
    uint32_t ignored;
    if (!written)
        written = &ignored;
    *written = 0;
    std::lock_guard<std::mutex> lock(m_lock);
    COpenConverter* c = Find(h);
    if (!c)
        return FT_INVALID_HANDLE;
    if ((!data && count > 0) || count > INT_MAX)
        return FT_INVALID_PARAMETER;
    if (count == 0)
        return FT_OK;
    int result = m_pApi->WriteData(c->pContext, static_cast<const unsigned char*>(data), static_cast<int>(count));
    if (result < 0)
        return Failed("ftdi_write_data", result, c->pContext, FT_IO_ERROR);
    *written = std::min(static_cast<uint32_t>(result), count);
    if (*written < count) {
        // libftdi writes everything or fails; a short count is still a failure, never success.
        LogFailure(Format(L"libftdi ftdi_write_data took %u of %u bytes", *written, count));
        return FT_IO_ERROR;
    }
    return FT_OK;
}

FT_STATUS CLibFtdiDriver::GetStatus(FT_HANDLE h, uint32_t* rxQueue, uint32_t* txQueue, uint32_t* events)
{
    if (rxQueue)
        *rxQueue = 0;
    if (txQueue)
        *txQueue = 0; // libftdi hands every write to USB at once
    if (events)
        *events = 0;
    std::lock_guard<std::mutex> lock(m_lock);
    COpenConverter* c = Find(h);
    if (!c)
        return FT_INVALID_HANDLE;
    FT_STATUS st = FT_OK;
    // When the buffer is full nothing more is fetched: later bytes wait in
    // libftdi and the converter until the caller has read; none are dropped here.
    if (c->nRxLen < RX_BUFFER_SIZE) {
        const uint32_t room = RX_BUFFER_SIZE - c->nRxLen;
        int result = m_pApi->ReadData(c->pContext, c->rx + c->nRxLen, static_cast<int>(room));
        if (result < 0)
            st = Failed("ftdi_read_data", result, c->pContext, FT_IO_ERROR);
        else
            c->nRxLen += std::min(static_cast<uint32_t>(result), room);
    }
    if (rxQueue)
        *rxQueue = c->nRxLen; // bytes already here stay readable after a failed fetch
    return st;
}

FT_STATUS CLibFtdiDriver::WaitReceive(FT_HANDLE h, uint32_t ms, uint32_t* rxQueue)
{
    uint32_t ignored;
    if (!rxQueue)
        rxQueue = &ignored;
    *rxQueue = 0;
    std::lock_guard<std::mutex> lock(m_lock);
    COpenConverter* c = Find(h);
    if (!c)
        return FT_INVALID_HANDLE;
    // Each ftdi_read_data waits in the USB stack for the converter's next
    // packet: data, or the status bytes alone when its latency timer ran out.
    const uint32_t start = m_clock.TickCount();
    while (c->nRxLen == 0) {
        int result = m_pApi->ReadData(c->pContext, c->rx, int(RX_BUFFER_SIZE));
        if (result < 0)
            return Failed("ftdi_read_data", result, c->pContext, FT_IO_ERROR);
        c->nRxLen = std::min(static_cast<uint32_t>(result), RX_BUFFER_SIZE);
        if (c->nRxLen == 0 && m_clock.TickCount() - start >= ms)
            break;
    }
    *rxQueue = c->nRxLen;
    return FT_OK;
}

FT_STATUS CLibFtdiDriver::Read(FT_HANDLE h, void* buffer, uint32_t count, uint32_t* returned)
{
    uint32_t ignored;
    if (!returned)
        returned = &ignored;
    *returned = 0;
    std::lock_guard<std::mutex> lock(m_lock);
    COpenConverter* c = Find(h);
    if (!c)
        return FT_INVALID_HANDLE;
    if (!buffer && count > 0)
        return FT_INVALID_PARAMETER;
    auto* dest = static_cast<uint8_t*>(buffer);

    uint32_t got = std::min(count, c->nRxLen);
    std::memcpy(dest, c->rx, got);
    std::memmove(c->rx, c->rx + got, c->nRxLen - got);
    c->nRxLen -= got;
    if (got == count) {
        *returned = got;
        return FT_OK;
    }

    // More than GetStatus counted: wait a bounded time for the rest, then
    // return what came (the count tells the caller).
    const uint32_t start = m_clock.TickCount();
    while (got < count) {
        const uint32_t want = std::min<uint32_t>(count - got, INT_MAX);
        int result = m_pApi->ReadData(c->pContext, dest + got, static_cast<int>(want));
        if (result < 0) {
            *returned = got;
            return Failed("ftdi_read_data", result, c->pContext, FT_IO_ERROR);
        }
        got += std::min(static_cast<uint32_t>(result), want);
        if (m_clock.TickCount() - start >= READ_REST_LIMIT_MS)
            break;
    }
    *returned = got;
    return FT_OK;
}

FT_STATUS CLibFtdiDriver::ResetDevice(FT_HANDLE h)
{
    std::lock_guard<std::mutex> lock(m_lock);
    COpenConverter* c = Find(h);
    if (!c)
        return FT_INVALID_HANDLE;
    c->nRxLen = 0; // the reset empties the converter's buffers, and libftdi's
    int result = m_pApi->UsbReset(c->pContext);
    if (result < 0)
        return Failed("ftdi_usb_reset", result, c->pContext, FT_IO_ERROR);
    return FT_OK;
}

FT_STATUS CLibFtdiDriver::SetBitMode(FT_HANDLE h, uint8_t mask, uint8_t mode)
{
    std::lock_guard<std::mutex> lock(m_lock);
    COpenConverter* c = Find(h);
    if (!c)
        return FT_INVALID_HANDLE;
    int result = m_pApi->SetBitmode(c->pContext, mask, mode);
    if (result < 0)
        return Failed("ftdi_set_bitmode", result, c->pContext, FT_IO_ERROR);
    // The CBUS pins move beside a UART that keeps running: libftdi's rule of
    // four times the baud rate in bit-bang modes would set a wrong rate.
    if (mode == FT_BITMODE_CBUS_BITBANG)
        m_pApi->SetBitbangEnabled(c->pContext, false);
    return FT_OK;
}

FT_STATUS CLibFtdiDriver::Purge(FT_HANDLE h, uint32_t mask)
{
    std::lock_guard<std::mutex> lock(m_lock);
    COpenConverter* c = Find(h);
    if (!c)
        return FT_INVALID_HANDLE;
    if (mask & ~(FT_PURGE_RX | FT_PURGE_TX))
        return FT_INVALID_PARAMETER;
    if (mask & FT_PURGE_RX)
        c->nRxLen = 0;
    int result = 0;
    const char* call = "";
    if (mask == (FT_PURGE_RX | FT_PURGE_TX))
        result = m_pApi->Tcioflush(c->pContext), call = "ftdi_tcioflush";
    else if (mask == FT_PURGE_RX)
        result = m_pApi->Tciflush(c->pContext), call = "ftdi_tciflush";
    else if (mask == FT_PURGE_TX)
        result = m_pApi->Tcoflush(c->pContext), call = "ftdi_tcoflush";
    if (result < 0)
        return Failed(call, result, c->pContext, FT_IO_ERROR);
    return FT_OK;
}

FT_STATUS CLibFtdiDriver::Close(FT_HANDLE h)
{
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = std::find_if(m_open.begin(), m_open.end(), [h](const auto& c) { return c.get() == h; });
    if (it == m_open.end())
        return FT_INVALID_HANDLE;
    ftdi_context* context = (*it)->pContext;
    int result = m_pApi->UsbClose(context);
    FT_STATUS st = result < 0 ? Failed("ftdi_usb_close", result, context, FT_IO_ERROR) : FT_OK;
    m_pApi->Free(context); // the handle is gone whatever the close said
    m_open.erase(it);
    return st;
}

std::unique_ptr<IFtdiDriver> CreatePlatformDriver() { return std::make_unique<CLibFtdiDriver>(CreateLibFtdi()); }

} // namespace vu
