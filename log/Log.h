// The line log "log.bin": one timestamped line per event, appended across
// runs, never read back by the tool.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace vu {

// Appends "[timestamp|interval]text" and CR LF to the log. Never fails
// visibly; safe to call from any thread.
void WriteLog(std::wstring text);

// Local time as "%4d-%.2d-%.2d %.2d:%.2d:%.2d:%.3d" (colon before the milliseconds).
std::wstring LogTimestamp();

// "%d" of a signed 32-bit number.
std::wstring IntToText(int32_t value);

// Bytes as upper-case hex pairs separated by one space; empty for length <= 0.
std::wstring HexDump(const uint8_t* bytes, int32_t length);

// The log file for an executable path: the path cut to 259 characters, cut
// after its last separator, then "log.bin"; "log.bin" alone when the path
// holds no separator.
std::wstring LogFileNameFromExePath(const std::wstring& exePath, wchar_t separator);

// Where the log goes, for tests; an empty path restores the default (beside
// the executable).
void SetLogFileOverride(const std::filesystem::path& path);

// Sees the text of every WriteLog call (tests); an empty function removes it.
void SetLogObserver(std::function<void(const std::wstring& text)> observer);

// Forgets the previous call, so the next line carries the first-call interval (tests).
void ResetLogIntervalForTesting();

} // namespace vu
