// A driver that sees no device: what a missing driver library looks like.
#pragma once

#include "device/FtdiDriver.h"

namespace vu {

class NoDeviceDriver : public IFtdiDriver {
public:
    FT_STATUS ListDevicesCount(uint32_t* count) override { if (count) *count = 0; return FT_OK; }
    FT_STATUS OpenByDescription(const char*, FT_HANDLE*) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS SetDataCharacteristics(FT_HANDLE, uint8_t, uint8_t, uint8_t) override { return FT_INVALID_HANDLE; }
    FT_STATUS SetBaudRate(FT_HANDLE, uint32_t) override { return FT_INVALID_HANDLE; }
    FT_STATUS Write(FT_HANDLE, const void*, uint32_t, uint32_t* w) override { if (w) *w = 0; return FT_INVALID_HANDLE; }
    FT_STATUS GetStatus(FT_HANDLE, uint32_t* rx, uint32_t* tx, uint32_t* ev) override
    {
        if (rx) *rx = 0;
        if (tx) *tx = 0;
        if (ev) *ev = 0;
        return FT_INVALID_HANDLE;
    }
    FT_STATUS Read(FT_HANDLE, void*, uint32_t, uint32_t* r) override { if (r) *r = 0; return FT_INVALID_HANDLE; }
    FT_STATUS ResetDevice(FT_HANDLE) override { return FT_INVALID_HANDLE; }
    FT_STATUS SetBitMode(FT_HANDLE, uint8_t, uint8_t) override { return FT_INVALID_HANDLE; }
    FT_STATUS SetBreakOn(FT_HANDLE) override { return FT_INVALID_HANDLE; }
    FT_STATUS SetBreakOff(FT_HANDLE) override { return FT_INVALID_HANDLE; }
    FT_STATUS Purge(FT_HANDLE, uint32_t) override { return FT_INVALID_HANDLE; }
    FT_STATUS Close(FT_HANDLE) override { return FT_INVALID_HANDLE; }
};

} // namespace vu
