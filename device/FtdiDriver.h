// The FTDI driver as the link uses it: the D2XX calls, one virtual per call.
// Back ends: FTD2XX.dll (Windows), libftdi1 (Linux), the virtual FTDI
// client (simulator), and the in-process machine model in tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vu {

using FT_STATUS = uint32_t;
using FT_HANDLE = void*;

constexpr FT_STATUS FT_OK = 0;
constexpr FT_STATUS FT_INVALID_HANDLE = 1;
constexpr FT_STATUS FT_DEVICE_NOT_FOUND = 2;
constexpr FT_STATUS FT_DEVICE_NOT_OPENED = 3;
constexpr FT_STATUS FT_IO_ERROR = 4;
constexpr FT_STATUS FT_INVALID_PARAMETER = 6;
constexpr FT_STATUS FT_OTHER_ERROR = 18;
constexpr FT_STATUS FT_NOT_SUPPORTED = 17;

constexpr uint32_t FT_PURGE_RX = 1;
constexpr uint32_t FT_PURGE_TX = 2;
constexpr uint8_t FT_BITMODE_CBUS_BITBANG = 0x20;

class IFtdiDriver {
public:
    virtual ~IFtdiDriver() = default;
    // FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY)
    virtual FT_STATUS ListDevicesCount(uint32_t* count) = 0;
    // FT_OpenEx(description, FT_OPEN_BY_DESCRIPTION, &handle)
    virtual FT_STATUS OpenByDescription(const char* description, FT_HANDLE* handle) = 0;
    virtual FT_STATUS SetDataCharacteristics(FT_HANDLE h, uint8_t wordLength, uint8_t stopBits, uint8_t parity) = 0;
    virtual FT_STATUS SetBaudRate(FT_HANDLE h, uint32_t baud) = 0;
    virtual FT_STATUS Write(FT_HANDLE h, const void* data, uint32_t count, uint32_t* written) = 0;
    virtual FT_STATUS GetStatus(FT_HANDLE h, uint32_t* rxQueue, uint32_t* txQueue, uint32_t* events) = 0;
    virtual FT_STATUS Read(FT_HANDLE h, void* buffer, uint32_t count, uint32_t* returned) = 0;
    virtual FT_STATUS ResetDevice(FT_HANDLE h) = 0;
    virtual FT_STATUS SetBitMode(FT_HANDLE h, uint8_t mask, uint8_t mode) = 0;
    virtual FT_STATUS SetBreakOn(FT_HANDLE h) = 0;
    virtual FT_STATUS SetBreakOff(FT_HANDLE h) = 0;
    virtual FT_STATUS Purge(FT_HANDLE h, uint32_t mask) = 0;
    virtual FT_STATUS Close(FT_HANDLE h) = 0;

    // The calls that make the link fast. A back end or driver library
    // without them answers FT_NOT_SUPPORTED and the link works as before.
    // FT_SetLatencyTimer: how long the chip holds a short reply (2 to 255 ms).
    virtual FT_STATUS SetLatencyTimer(FT_HANDLE, uint8_t /*ms*/) { return FT_NOT_SUPPORTED; }
    // FT_SetChars: the event character releases the chip's buffer at once.
    virtual FT_STATUS SetChars(FT_HANDLE, uint8_t /*eventChar*/, uint8_t /*eventEnable*/, uint8_t /*errorChar*/,
                               uint8_t /*errorEnable*/)
    {
        return FT_NOT_SUPPORTED;
    }
    // Blocks until the receive queue holds a byte or ms have passed, then
    // gives the queue's count (0 when the time ran out): the receive event.
    virtual FT_STATUS WaitReceive(FT_HANDLE, uint32_t /*ms*/, uint32_t* rxQueue)
    {
        if (rxQueue)
            *rxQueue = 0;
        return FT_NOT_SUPPORTED;
    }

    // The descriptions of the attached devices, for listing them to a user
    // (FT_ListDevices with FT_LIST_ALL | FT_OPEN_BY_DESCRIPTION).
    virtual FT_STATUS ListDescriptions(std::vector<std::string>* descriptions)
    {
        descriptions->clear();
        return FT_NOT_SUPPORTED;
    }
};

// The process's own driver, chosen once, at first use: the platform's driver;
// in a development build the virtual FTDI client when VANTORELLE_SIMULATOR
// is set.
IFtdiDriver& ProcessDriver();

// Back ends, each in its own file.
std::unique_ptr<IFtdiDriver> CreatePlatformDriver();
std::unique_ptr<IFtdiDriver> CreateVirtualFtdiClient(const std::string& hostPort);

} // namespace vu
