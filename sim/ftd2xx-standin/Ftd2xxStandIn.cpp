// The FTD2XX.dll stand-in: the thirteen D2XX functions the product loads,
// with the published names, argument types and __stdcall convention, each
// forwarded to a machine simulator through the virtual FTDI client.
//
// The simulator's address comes from VANTORELLE_STANDIN_SIMULATOR, not from
// VANTORELLE_SIMULATOR: with that one set, the product would use its own
// simulator driver and never load this library.
#include "device/VirtualFtdiClient.h"

#include <windows.h>

namespace {

using vu::CVirtualFtdiClient;

constexpr DWORD FT_LIST_NUMBER_ONLY = 0x80000000;
constexpr DWORD FT_OPEN_BY_DESCRIPTION = 2;

std::string SimulatorAddress()
{
    char text[256] = {};
    DWORD n = GetEnvironmentVariableA("VANTORELLE_STANDIN_SIMULATOR", text, sizeof text);
    // Unset or too long for an address: nothing is reached, so no device is attached.
    if (n == 0 || n >= sizeof text)
        return std::string();
    return std::string(text, n);
}

CVirtualFtdiClient& Client()
{
    // Never destroyed: closing sockets from the loader's detach call is not safe.
    static CVirtualFtdiClient* client = new CVirtualFtdiClient(SimulatorAddress());
    return *client;
}

} // namespace

typedef ULONG FT_STATUS;
typedef PVOID FT_HANDLE;

extern "C" {

__declspec(dllexport) FT_STATUS WINAPI FT_ListDevices(PVOID pArg1, PVOID pArg2, DWORD Flags)
{
    (void)pArg2;
    // Only the count: the stand-in lists no descriptions or serial numbers.
    if (Flags != FT_LIST_NUMBER_ONLY)
        return vu::FT_NOT_SUPPORTED;
    if (!pArg1)
        return vu::FT_INVALID_PARAMETER;
    uint32_t count = 0;
    FT_STATUS st = Client().ListDevicesCount(&count);
    *static_cast<DWORD*>(pArg1) = count;
    return st;
}

__declspec(dllexport) FT_STATUS WINAPI FT_OpenEx(PVOID pArg1, DWORD Flags, FT_HANDLE* pHandle)
{
    if (!pHandle)
        return vu::FT_INVALID_PARAMETER;
    *pHandle = nullptr;
    // Only descriptions can be asked for on the virtual link.
    if (Flags != FT_OPEN_BY_DESCRIPTION)
        return vu::FT_NOT_SUPPORTED;
    return Client().OpenByDescription(static_cast<const char*>(pArg1), pHandle);
}

__declspec(dllexport) FT_STATUS WINAPI FT_SetDataCharacteristics(FT_HANDLE ftHandle, UCHAR WordLength, UCHAR StopBits,
                                                                  UCHAR Parity)
{
    return Client().SetDataCharacteristics(ftHandle, WordLength, StopBits, Parity);
}

__declspec(dllexport) FT_STATUS WINAPI FT_SetBaudRate(FT_HANDLE ftHandle, ULONG BaudRate)
{
    return Client().SetBaudRate(ftHandle, BaudRate);
}

__declspec(dllexport) FT_STATUS WINAPI FT_Write(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToWrite,
                                                LPDWORD lpBytesWritten)
{
    uint32_t written = 0;
    FT_STATUS st = Client().Write(ftHandle, lpBuffer, dwBytesToWrite, &written);
    if (lpBytesWritten)
        *lpBytesWritten = written;
    return st;
}

__declspec(dllexport) FT_STATUS WINAPI FT_GetStatus(FT_HANDLE ftHandle, DWORD* lpdwAmountInRxQueue,
                                                    DWORD* lpdwAmountInTxQueue, DWORD* lpdwEventStatus)
{
    uint32_t rx = 0, tx = 0, ev = 0;
    FT_STATUS st = Client().GetStatus(ftHandle, &rx, &tx, &ev);
    if (lpdwAmountInRxQueue)
        *lpdwAmountInRxQueue = rx;
    if (lpdwAmountInTxQueue)
        *lpdwAmountInTxQueue = tx;
    if (lpdwEventStatus)
        *lpdwEventStatus = ev;
    return st;
}

__declspec(dllexport) FT_STATUS WINAPI FT_Read(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToRead,
                                               LPDWORD lpBytesReturned)
{
    uint32_t got = 0;
    FT_STATUS st = Client().Read(ftHandle, lpBuffer, dwBytesToRead, &got);
    if (lpBytesReturned)
        *lpBytesReturned = got;
    return st;
}

__declspec(dllexport) FT_STATUS WINAPI FT_ResetDevice(FT_HANDLE ftHandle) { return Client().ResetDevice(ftHandle); }

__declspec(dllexport) FT_STATUS WINAPI FT_SetBitMode(FT_HANDLE ftHandle, UCHAR ucMask, UCHAR ucEnable)
{
    return Client().SetBitMode(ftHandle, ucMask, ucEnable);
}

__declspec(dllexport) FT_STATUS WINAPI FT_SetBreakOn(FT_HANDLE ftHandle) { return Client().SetBreakOn(ftHandle); }

__declspec(dllexport) FT_STATUS WINAPI FT_SetBreakOff(FT_HANDLE ftHandle) { return Client().SetBreakOff(ftHandle); }

__declspec(dllexport) FT_STATUS WINAPI FT_Purge(FT_HANDLE ftHandle, ULONG Mask) { return Client().Purge(ftHandle, Mask); }

__declspec(dllexport) FT_STATUS WINAPI FT_Close(FT_HANDLE ftHandle) { return Client().Close(ftHandle); }

} // extern "C"
