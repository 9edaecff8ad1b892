// The driver on Linux: the D2XX calls the link makes, carried out with
// libftdi1 on the FTDI converters attached by USB.
#pragma once

#include "device/FtdiDriver.h"
#include "device/posix/LibFtdiApi.h"
#include "platform/Platform.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vu {

class CLibFtdiDriver : public IFtdiDriver {
public:
    static constexpr int FTDI_VENDOR_ID = 0x0403;
    // The single-channel converters, in the order an open looks at them:
    // FT232R/FT245R/FT232BM, FT-X (FT230X, FT231X, ...), FT232H.
    static constexpr int FTDI_PRODUCT_IDS[] = {0x6001, 0x6015, 0x6014};
    // The receive queue the back end keeps; GetStatus never reports more,
    // which stays below the 5000 bytes the link reads into at once.
    static constexpr uint32_t RX_BUFFER_SIZE = 4096;
    // Short, so that a two-byte reply reaches the host without waiting for
    // the converter's default 16 ms.
    static constexpr unsigned char LATENCY_TIMER_MS = 2;
    // One packet per USB read. The converter answers every read within its
    // latency timer (with the two status bytes alone when nothing came), so
    // the read's own time-out can sit just above the timer: only a stalled
    // converter reaches it. A longer read could still be bringing packets
    // when its time-out strikes, and libftdi drops what such a read got.
    static constexpr unsigned int READ_CHUNK_SIZE = 64;
    // What a converter may take beyond its latency timer to answer a read.
    static constexpr int USB_READ_MARGIN_MS = 30;
    // How long a read of more bytes than GetStatus counted waits for the rest.
    static constexpr uint32_t READ_REST_LIMIT_MS = 500;
    // A USB string descriptor holds at most 126 characters.
    static constexpr int PRODUCT_STRING_SIZE = 256;

    // clock: what the wait for the rest of a read is timed on.
    explicit CLibFtdiDriver(std::unique_ptr<ILibFtdi> api, ISystemServices& clock = RealSystem());
    ~CLibFtdiDriver() override; // closes what is still open
    CLibFtdiDriver(const CLibFtdiDriver&) = delete;
    CLibFtdiDriver& operator=(const CLibFtdiDriver&) = delete;

    FT_STATUS ListDevicesCount(uint32_t* count) override;
    FT_STATUS OpenByDescription(const char* description, FT_HANDLE* handle) override;
    FT_STATUS SetDataCharacteristics(FT_HANDLE h, uint8_t wordLength, uint8_t stopBits, uint8_t parity) override;
    FT_STATUS SetBaudRate(FT_HANDLE h, uint32_t baud) override;
    FT_STATUS Write(FT_HANDLE h, const void* data, uint32_t count, uint32_t* written) override;
    FT_STATUS GetStatus(FT_HANDLE h, uint32_t* rxQueue, uint32_t* txQueue, uint32_t* events) override;
    FT_STATUS Read(FT_HANDLE h, void* buffer, uint32_t count, uint32_t* returned) override;
    FT_STATUS ResetDevice(FT_HANDLE h) override;
    FT_STATUS SetBitMode(FT_HANDLE h, uint8_t mask, uint8_t mode) override;
    FT_STATUS SetBreakOn(FT_HANDLE h) override;
    FT_STATUS SetBreakOff(FT_HANDLE h) override;
    FT_STATUS Purge(FT_HANDLE h, uint32_t mask) override;
    FT_STATUS Close(FT_HANDLE h) override;
    // ftdi_set_latency_timer (2 to 255 ms); the reads' time-out follows it.
    FT_STATUS SetLatencyTimer(FT_HANDLE h, uint8_t ms) override;
    // ftdi_set_event_char, then ftdi_set_error_char.
    FT_STATUS SetChars(FT_HANDLE h, uint8_t eventChar, uint8_t eventEnable, uint8_t errorChar,
                       uint8_t errorEnable) override;
    // Reads the converter's packets, each read waiting for the next one,
    // until a byte has come or ms have passed (by at most one latency
    // period, or one read's time-out when the converter has stalled).
    FT_STATUS WaitReceive(FT_HANDLE h, uint32_t ms, uint32_t* rxQueue) override;
    // The USB product strings of the attached converters. On a nonzero
    // status the list holds the strings that could be read.
    FT_STATUS ListDescriptions(std::vector<std::string>* descriptions) override;

private:
    struct COpenConverter;
    class CConverterList;

    COpenConverter* Find(FT_HANDLE h);
    FT_STATUS EnumerationContext(ftdi_context** context);
    // Latency timer and the reads' time-out, set together.
    FT_STATUS SetLatency(COpenConverter& c, uint8_t ms, FT_STATUS failure);
    FT_STATUS SetLine(COpenConverter& c, ftdi_bits_type bits, ftdi_stopbits_type stopBits, ftdi_parity_type parity,
                      ftdi_break_type breakState);
    // Logs one line with libftdi's own text and returns status.
    FT_STATUS Failed(const char* call, int result, ftdi_context* context, FT_STATUS status);
    void LogFailure(const std::wstring& line);

    std::unique_ptr<ILibFtdi> m_pApi;
    ISystemServices& m_clock;
    std::mutex m_lock;
    ftdi_context* m_pEnumContext = nullptr; // for counting and listing, made at first use
    std::vector<std::unique_ptr<COpenConverter>> m_open;
    std::wstring m_strLastFailure;
};

} // namespace vu
