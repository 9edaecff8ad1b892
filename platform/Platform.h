// System services used by every layer. Time is a service that is passed
// in, so tests can run hours of waits on a virtual clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace vu {

struct LocalTime {
    int year, month, day, hour, minute, second, millisecond;
};

class ISystemServices {
public:
    virtual ~ISystemServices() = default;
    virtual uint32_t TickCount() = 0;               // milliseconds, wraps at 2^32
    virtual void Sleep(uint32_t ms) = 0;
    virtual uint64_t PerformanceCounter() = 0;
    virtual uint64_t PerformanceFrequency() = 0;    // counts per second
    virtual LocalTime Now() = 0;
    virtual void Beep(uint32_t hz, uint32_t ms) = 0; // returns when the tone ends
};

// The process's own services: the system's clock, sleep and beep.
ISystemServices& RealSystem();

// Full path of the running executable as the system names it, with no text
// conversion: the wide path on Windows, the file name's bytes on Linux (UTF-8
// or not). At most 259 characters (bytes on Linux): a longer path is cut to
// fit, as the Windows call does with its 260-character buffer.
std::filesystem::path ExecutablePath();

// The computer's name as the request field carries it: at most 15 characters
// (on Linux the host name's first label, cut to 15).
std::wstring ComputerName();
// That form of a host name: its first label, at most 15 bytes, each byte
// taken as AnsiToWide takes it.
std::wstring ComputerNameFromHostName(const std::string& host);

// Eight bytes from a fresh GUID (Data1 little-endian, Data2, Data3), or from
// the system's random source where there are no GUIDs.
void RandomBytes8(uint8_t out[8]);

// Bytes from the machine or the server as text, by the ANSI code page
// (Windows: CP_THREAD_ACP; Linux: Windows-1252 is not assumed, bytes map to
// the code points of the same value, ISO 8859-1).
std::wstring AnsiToWide(const uint8_t* bytes, size_t count);

// Opens a file for appending in binary mode, creating it; nullptr on failure.
std::FILE* OpenFileForAppend(const std::filesystem::path& path);

// Where the log goes when the folder beside the executable cannot be written:
// on Linux the user's state folder (a system-wide install sits in a read-only
// folder); empty on Windows, where such a line is lost.
std::filesystem::path FallbackLogFolder();

// Environment variable, empty when unset.
std::string GetEnv(const char* name);
// Sets an environment variable of this process; an empty value removes it.
void SetEnv(const char* name, const std::string& value);

} // namespace vu
