// A test-only driver library with the D2XX functions' names and calling
// convention: one attached device "Vantorelle" that answers the identity
// query, and a record of every call with its arguments (FakeCalls). Built
// without most functions (VU_FAKE_PARTIAL) it is a library the loader must
// refuse.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {
std::string g_calls;
std::string g_rx;
PVOID const FAKE_HANDLE = reinterpret_cast<PVOID>(0x7711);

void Note(const char* format, ...)
{
    char line[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    g_calls += line;
    g_calls += '|';
}
} // namespace

extern "C" {

__declspec(dllexport) const char* WINAPI FakeCalls() { return g_calls.c_str(); }

__declspec(dllexport) ULONG WINAPI FT_ListDevices(PVOID arg1, PVOID arg2, DWORD flags)
{
    Note("ListDevices %08lX", flags);
    if (flags == 0x80000000 && arg1 && !arg2) {
        *static_cast<DWORD*>(arg1) = 1;
        return 0;
    }
    if (flags == 0x20000002 && arg1 && arg2) {
        std::strcpy(static_cast<char**>(arg1)[0], "Vantorelle");
        *static_cast<DWORD*>(arg2) = 1;
        return 0;
    }
    return 6;
}

__declspec(dllexport) ULONG WINAPI FT_OpenEx(PVOID arg1, DWORD flags, PVOID* handle)
{
    Note("OpenEx %s %lu", static_cast<const char*>(arg1), flags);
    if (flags != 2 || std::strcmp(static_cast<const char*>(arg1), "Vantorelle") != 0)
        return 2;
    *handle = FAKE_HANDLE;
    return 0;
}

#ifndef VU_FAKE_PARTIAL
__declspec(dllexport) ULONG WINAPI FT_SetDataCharacteristics(PVOID h, UCHAR w, UCHAR s, UCHAR p)
{
    Note("SetDataCharacteristics %d %d %d", w, s, p);
    return h == FAKE_HANDLE ? 0 : 1;
}

__declspec(dllexport) ULONG WINAPI FT_SetBaudRate(PVOID h, ULONG baud)
{
    Note("SetBaudRate %lu", baud);
    return h == FAKE_HANDLE ? 0 : 1;
}

__declspec(dllexport) ULONG WINAPI FT_Write(PVOID h, LPVOID buffer, DWORD count, LPDWORD written)
{
    std::string hex;
    char pair[4];
    for (DWORD i = 0; i < count; ++i) {
        std::snprintf(pair, sizeof pair, i ? " %02X" : "%02X", static_cast<unsigned char*>(buffer)[i]);
        hex += pair;
    }
    Note("Write %s", hex.c_str());
    if (h != FAKE_HANDLE)
        return 1;
    *written = count;
    static const unsigned char idQuery[] = {0x06, 0x00, 0x01, 0x00, 0xD1, 0xD6};
    if (count == sizeof idQuery && std::memcmp(buffer, idQuery, count) == 0) {
        // D1 00 and eight identity bytes, framed.
        const unsigned char reply[] = {0x0F, 0x00, 0x0A, 0x00, 0xD1, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 0};
        std::string r(reinterpret_cast<const char*>(reply), sizeof reply);
        unsigned char check = 0;
        for (size_t i = 0; i + 1 < r.size(); ++i)
            check ^= static_cast<unsigned char>(r[i]);
        r.back() = static_cast<char>(check);
        g_rx += r;
    }
    return 0;
}

__declspec(dllexport) ULONG WINAPI FT_GetStatus(PVOID h, DWORD* rx, DWORD* tx, DWORD* ev)
{
    *rx = static_cast<DWORD>(g_rx.size());
    *tx = 0;
    *ev = 0;
    return h == FAKE_HANDLE ? 0 : 1;
}

__declspec(dllexport) ULONG WINAPI FT_Read(PVOID h, LPVOID buffer, DWORD count, LPDWORD returned)
{
    Note("Read %lu", count);
    if (h != FAKE_HANDLE)
        return 1;
    DWORD n = count < g_rx.size() ? count : static_cast<DWORD>(g_rx.size());
    std::memcpy(buffer, g_rx.data(), n);
    g_rx.erase(0, n);
    *returned = n;
    return 0;
}

__declspec(dllexport) ULONG WINAPI FT_ResetDevice(PVOID h)
{
    Note("ResetDevice");
    return h == FAKE_HANDLE ? 0 : 1;
}

__declspec(dllexport) ULONG WINAPI FT_SetBitMode(PVOID h, UCHAR mask, UCHAR mode)
{
    Note("SetBitMode %02X %02X", mask, mode);
    return h == FAKE_HANDLE ? 0 : 1;
}

__declspec(dllexport) ULONG WINAPI FT_SetBreakOn(PVOID h)
{
    Note("SetBreakOn");
    return h == FAKE_HANDLE ? 0 : 1;
}

__declspec(dllexport) ULONG WINAPI FT_SetBreakOff(PVOID h)
{
    Note("SetBreakOff");
    return h == FAKE_HANDLE ? 0 : 1;
}

__declspec(dllexport) ULONG WINAPI FT_Purge(PVOID h, ULONG mask)
{
    Note("Purge %lu", mask);
    if (mask & 1)
        g_rx.clear();
    return h == FAKE_HANDLE ? 0 : 1;
}

__declspec(dllexport) ULONG WINAPI FT_Close(PVOID h)
{
    Note("Close");
    return h == FAKE_HANDLE ? 0 : 1;
}
#endif

} // extern "C"
