// The FTDI D2XX driver on Windows: FTD2XX.dll bound at run time by
// LoadLibrary and GetProcAddress, so the program starts without it.
// The functions are declared here from the published D2XX documentation:
// every one is WINAPI and returns an FT_STATUS (ULONG).
#include "device/win32/Ftd2xxDriver.h"

#include <windows.h>

#include <cstring>

namespace vu {

namespace {

using FtStatus = ULONG;
using FtHandle = PVOID;

constexpr DWORD LIST_NUMBER_ONLY = 0x80000000;
constexpr DWORD LIST_ALL = 0x20000000;
constexpr DWORD OPEN_BY_DESCRIPTION = 2;
constexpr int MAX_LISTED = 32;
constexpr int DESCRIPTION_SIZE = 64;

using ListDevicesFn = FtStatus(WINAPI*)(PVOID arg1, PVOID arg2, DWORD flags);
using OpenExFn = FtStatus(WINAPI*)(PVOID arg1, DWORD flags, FtHandle* handle);
using SetDataCharacteristicsFn = FtStatus(WINAPI*)(FtHandle h, UCHAR wordLength, UCHAR stopBits, UCHAR parity);
using SetBaudRateFn = FtStatus(WINAPI*)(FtHandle h, ULONG baud);
using WriteFn = FtStatus(WINAPI*)(FtHandle h, LPVOID buffer, DWORD toWrite, LPDWORD written);
using GetStatusFn = FtStatus(WINAPI*)(FtHandle h, DWORD* rxBytes, DWORD* txBytes, DWORD* events);
using ReadFn = FtStatus(WINAPI*)(FtHandle h, LPVOID buffer, DWORD toRead, LPDWORD returned);
using HandleOnlyFn = FtStatus(WINAPI*)(FtHandle h);
using SetBitModeFn = FtStatus(WINAPI*)(FtHandle h, UCHAR mask, UCHAR enable);
using PurgeFn = FtStatus(WINAPI*)(FtHandle h, ULONG mask);

template <typename Fn>
bool Bind(HMODULE module, const char* name, Fn* fn)
{
    FARPROC p = GetProcAddress(module, name);
    // FARPROC to a typed function pointer: the documented signature is ours to trust.
    *fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(p));
    return p != nullptr;
}

class Ftd2xxDriver : public IFtdiDriver {
public:
    explicit Ftd2xxDriver(const wchar_t* libraryName)
    {
        // Not from the current folder: only the program's folder and the system's.
        m_module = LoadLibraryExW(libraryName, nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
        if (!m_module && GetLastError() == ERROR_INVALID_PARAMETER)
            m_module = LoadLibraryW(libraryName); // a Windows without the safe search flags
        if (!m_module)
            return;
        bool all = Bind(m_module, "FT_ListDevices", &m_listDevices) & Bind(m_module, "FT_OpenEx", &m_openEx)
                   & Bind(m_module, "FT_SetDataCharacteristics", &m_setDataCharacteristics)
                   & Bind(m_module, "FT_SetBaudRate", &m_setBaudRate) & Bind(m_module, "FT_Write", &m_write)
                   & Bind(m_module, "FT_GetStatus", &m_getStatus) & Bind(m_module, "FT_Read", &m_read)
                   & Bind(m_module, "FT_ResetDevice", &m_resetDevice) & Bind(m_module, "FT_SetBitMode", &m_setBitMode)
                   & Bind(m_module, "FT_SetBreakOn", &m_setBreakOn) & Bind(m_module, "FT_SetBreakOff", &m_setBreakOff)
                   & Bind(m_module, "FT_Purge", &m_purge) & Bind(m_module, "FT_Close", &m_close);
        // A library without every function is not used at all: no call can hit a missing one.
        if (!all) {
            FreeLibrary(m_module);
            m_module = nullptr;
        }
    }

    ~Ftd2xxDriver() override
    {
        if (m_module)
            FreeLibrary(m_module);
    }

    Ftd2xxDriver(const Ftd2xxDriver&) = delete;
    Ftd2xxDriver& operator=(const Ftd2xxDriver&) = delete;

    FT_STATUS ListDevicesCount(uint32_t* count) override
    {
        if (count)
            *count = 0;
        if (!m_module)
            return FT_DEVICE_NOT_FOUND;
        DWORD n = 0;
        FtStatus st = m_listDevices(&n, nullptr, LIST_NUMBER_ONLY);
        if (count)
            *count = st == 0 ? uint32_t(n) : 0;
        return FT_STATUS(st);
    }

    FT_STATUS OpenByDescription(const char* description, FT_HANDLE* handle) override
    {
        if (!m_module)
            return FT_DEVICE_NOT_FOUND;
        FtHandle h = nullptr;
        FtStatus st = m_openEx(const_cast<char*>(description), OPEN_BY_DESCRIPTION, &h);
        if (st == 0 && handle)
            *handle = h;
        return FT_STATUS(st);
    }

    FT_STATUS SetDataCharacteristics(FT_HANDLE h, uint8_t wordLength, uint8_t stopBits, uint8_t parity) override
    {
        return m_module ? FT_STATUS(m_setDataCharacteristics(h, wordLength, stopBits, parity)) : FT_INVALID_HANDLE;
    }

    FT_STATUS SetBaudRate(FT_HANDLE h, uint32_t baud) override
    {
        return m_module ? FT_STATUS(m_setBaudRate(h, baud)) : FT_INVALID_HANDLE;
    }

    FT_STATUS Write(FT_HANDLE h, const void* data, uint32_t count, uint32_t* written) override
    {
        DWORD n = 0;
        FT_STATUS st = m_module ? FT_STATUS(m_write(h, const_cast<void*>(data), count, &n)) : FT_INVALID_HANDLE;
        if (written)
            *written = uint32_t(n);
        return st;
    }

    FT_STATUS GetStatus(FT_HANDLE h, uint32_t* rxQueue, uint32_t* txQueue, uint32_t* events) override
    {
        DWORD rx = 0, tx = 0, ev = 0;
        FT_STATUS st = m_module ? FT_STATUS(m_getStatus(h, &rx, &tx, &ev)) : FT_INVALID_HANDLE;
        if (rxQueue)
            *rxQueue = uint32_t(rx);
        if (txQueue)
            *txQueue = uint32_t(tx);
        if (events)
            *events = uint32_t(ev);
        return st;
    }

    FT_STATUS Read(FT_HANDLE h, void* buffer, uint32_t count, uint32_t* returned) override
    {
        DWORD n = 0;
        FT_STATUS st = m_module ? FT_STATUS(m_read(h, buffer, count, &n)) : FT_INVALID_HANDLE;
        // A driver never delivers more than asked; if one claimed to, believe only the request.
        if (n > count)
            n = count;
        if (returned)
            *returned = uint32_t(n);
        return st;
    }

    FT_STATUS ResetDevice(FT_HANDLE h) override { return m_module ? FT_STATUS(m_resetDevice(h)) : FT_INVALID_HANDLE; }

    FT_STATUS SetBitMode(FT_HANDLE h, uint8_t mask, uint8_t mode) override
    {
        return m_module ? FT_STATUS(m_setBitMode(h, mask, mode)) : FT_INVALID_HANDLE;
    }

    FT_STATUS SetBreakOn(FT_HANDLE h) override { return m_module ? FT_STATUS(m_setBreakOn(h)) : FT_INVALID_HANDLE; }
    FT_STATUS SetBreakOff(FT_HANDLE h) override { return m_module ? FT_STATUS(m_setBreakOff(h)) : FT_INVALID_HANDLE; }

    FT_STATUS Purge(FT_HANDLE h, uint32_t mask) override
    {
        return m_module ? FT_STATUS(m_purge(h, mask)) : FT_INVALID_HANDLE;
    }

    FT_STATUS Close(FT_HANDLE h) override { return m_module ? FT_STATUS(m_close(h)) : FT_INVALID_HANDLE; }

    FT_STATUS ListDescriptions(std::vector<std::string>* descriptions) override
    {
        descriptions->clear();
        if (!m_module)
            return FT_DEVICE_NOT_FOUND;
        DWORD n = 0;
        FtStatus st = m_listDevices(&n, nullptr, LIST_NUMBER_ONLY);
        if (st != 0)
            return FT_STATUS(st);
        // More devices than a user could plug in is not believed; the list is left empty.
        if (n > DWORD(MAX_LISTED))
            return FT_OTHER_ERROR;
        // Spare buffers for devices plugged in between the two calls; each text is closed by us.
        constexpr int SLOTS = MAX_LISTED + 4;
        char texts[SLOTS][DESCRIPTION_SIZE] = {};
        char* pointers[SLOTS + 1] = {};
        for (int i = 0; i < SLOTS; ++i)
            pointers[i] = texts[i];
        DWORD got = 0;
        st = m_listDevices(pointers, &got, LIST_ALL | OPEN_BY_DESCRIPTION);
        if (st != 0)
            return FT_STATUS(st);
        if (got > DWORD(SLOTS))
            got = DWORD(SLOTS);
        for (DWORD i = 0; i < got; ++i) {
            texts[i][DESCRIPTION_SIZE - 1] = 0;
            descriptions->push_back(texts[i]);
        }
        return FT_OK;
    }

private:
    HMODULE m_module = nullptr;
    ListDevicesFn m_listDevices = nullptr;
    OpenExFn m_openEx = nullptr;
    SetDataCharacteristicsFn m_setDataCharacteristics = nullptr;
    SetBaudRateFn m_setBaudRate = nullptr;
    WriteFn m_write = nullptr;
    GetStatusFn m_getStatus = nullptr;
    ReadFn m_read = nullptr;
    HandleOnlyFn m_resetDevice = nullptr;
    SetBitModeFn m_setBitMode = nullptr;
    HandleOnlyFn m_setBreakOn = nullptr;
    HandleOnlyFn m_setBreakOff = nullptr;
    PurgeFn m_purge = nullptr;
    HandleOnlyFn m_close = nullptr;
};

} // namespace

std::unique_ptr<IFtdiDriver> CreateFtd2xxDriver(const wchar_t* libraryName)
{
    return std::make_unique<Ftd2xxDriver>(libraryName);
}

std::unique_ptr<IFtdiDriver> CreatePlatformDriver() { return CreateFtd2xxDriver(L"FTD2XX.dll"); }

} // namespace vu
