// The line log "log.bin": one timestamped line per event, appended across
// runs, never read back by the tool.
#pragma once

#include "platform/Platform.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace vu {

// The lines of the log as one clock sees them: the timestamp and the interval
// column come from the clock a log is made with, the interval state is its
// own. The process writes through ProcessLog, on the system's clock; a test
// of the columns makes one on a virtual clock. Every log writes to the same
// file, one line at a time.
class CLineLog {
public:
    explicit CLineLog(ISystemServices& clock) : m_clock(clock) {}
    CLineLog(const CLineLog&) = delete;
    CLineLog& operator=(const CLineLog&) = delete;

    // Appends "[timestamp|interval]text" and CR LF. Never fails visibly and
    // throws nothing: a line that cannot be written is lost.
    void Write(std::wstring text);
    // Local time as "%4d-%.2d-%.2d %.2d:%.2d:%.2d:%.3d" (colon before the milliseconds).
    std::wstring Timestamp();
    // Forgets the previous call: the next line carries the first-call interval.
    void ForgetPreviousCall();

private:
    std::string IntervalColumn();

    ISystemServices& m_clock;
    uint64_t m_previousCounter = 0; // 0: no call yet
    uint64_t m_counterFrequency = 0;
};

// The process's log, on the system's own clock.
CLineLog& ProcessLog();

// ProcessLog().Write: safe to call from any thread.
void WriteLog(std::wstring text);

// ProcessLog().Timestamp.
std::wstring LogTimestamp();

// "%d" of a signed 32-bit number.
std::wstring IntToText(int32_t value);

// Bytes as upper-case hex pairs separated by one space; empty for length <= 0.
std::wstring HexDump(const uint8_t* bytes, int32_t length);

// The log file for an executable path: the path cut to 259 characters, cut
// after its last separator, then "log.bin"; "log.bin" alone when the path
// holds no separator. Works on the path's own characters (bytes on Linux),
// so any folder name the system gives comes back unchanged.
std::filesystem::path LogFileNameFromExePath(
    const std::filesystem::path& exePath,
    std::filesystem::path::value_type separator = std::filesystem::path::preferred_separator);

// Where the log goes, for tests; an empty path restores the default (beside
// the executable).
void SetLogFileOverride(const std::filesystem::path& path);

// Sees the text of every WriteLog call (tests); an empty function removes it.
void SetLogObserver(std::function<void(const std::wstring& text)> observer);

#if VU_TEST_HOOKS
// ProcessLog().ForgetPreviousCall, as a new process would start (tests).
void ResetLogIntervalForTesting();
#endif

} // namespace vu
