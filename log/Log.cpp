#include "log/Log.h"

#include "platform/Platform.h"

#include <cstdio>
#include <mutex>
#include <system_error>

namespace vu {

namespace {

std::mutex g_lock;                 // serialises callers: interval state and line order
std::filesystem::path g_override;
std::function<void(const std::wstring&)> g_observer;

std::filesystem::path PrimaryLogPath()
{
    if (!g_override.empty())
        return g_override;
    return LogFileNameFromExePath(ExecutablePath());
}

std::FILE* OpenLogFile()
{
    if (std::FILE* f = OpenFileForAppend(PrimaryLogPath()))
        return f;
    // Where there is no fallback (Windows) the line is lost, silently.
    std::filesystem::path fallback = FallbackLogFolder();
    if (fallback.empty())
        return nullptr;
    std::error_code ec;
    std::filesystem::create_directories(fallback, ec);
    return OpenFileForAppend(fallback / "log.bin");
}

} // namespace

std::filesystem::path LogFileNameFromExePath(const std::filesystem::path& exePath,
                                             std::filesystem::path::value_type separator)
{
    using String = std::filesystem::path::string_type;
    const String name = std::filesystem::path("log.bin").native();
    String path = exePath.native().substr(0, 259);
    size_t cut = path.rfind(separator);
    if (cut == String::npos)
        return name;
    return path.substr(0, cut + 1) + name;
}

std::string CLineLog::IntervalColumn()
{
    uint64_t now = m_clock.PerformanceCounter();
    if (m_previousCounter == 0) {
        m_counterFrequency = m_clock.PerformanceFrequency();
        m_previousCounter = now ? now : 1;
        return "    -   ";
    }
    double elapsed = double(now - m_previousCounter) / double(m_counterFrequency);
    m_previousCounter = now ? now : 1;
    if (elapsed > 10.0)
        return "   --   ";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%f", elapsed);
    return buf;
}

void CLineLog::Write(std::wstring text)
{
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_observer)
        g_observer(text);
    // Nothing here may stop the program: whatever fails loses this line alone.
    try {
        std::string line = "[";
        std::wstring stamp = Timestamp();
        line.append(stamp.begin(), stamp.end());
        line += "|";
        line += IntervalColumn();
        line += "]";
        for (wchar_t c : text) {
            if (c == L'\n')
                line += "\r\n"; // as a text-mode file stores it
            else
                line.push_back(static_cast<unsigned>(c) > 255 ? '?' : static_cast<char>(c));
        }
        line += "\r\n";

        std::FILE* f = OpenLogFile();
        if (!f)
            return;
        std::fwrite(line.data(), 1, line.size(), f);
        std::fclose(f);
    } catch (...) {
    }
}

std::wstring CLineLog::Timestamp()
{
    LocalTime t = m_clock.Now();
    char buf[64];
    std::snprintf(buf, sizeof buf, "%4d-%.2d-%.2d %.2d:%.2d:%.2d:%.3d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second, t.millisecond);
    std::string s(buf);
    return std::wstring(s.begin(), s.end());
}

std::wstring IntToText(int32_t value)
{
    std::string s = std::to_string(value);
    return std::wstring(s.begin(), s.end());
}

std::wstring HexDump(const uint8_t* bytes, int32_t length)
{
    static const wchar_t digits[] = L"0123456789ABCDEF";
    std::wstring text;
    if (length <= 0)
        return text;
    text.reserve(size_t(length) * 3);
    for (int32_t i = 0; i < length; ++i) {
        if (i > 0)
            text.push_back(L' ');
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 15]);
    }
    return text;
}

void SetLogFileOverride(const std::filesystem::path& path)
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_override = path;
}

void SetLogObserver(std::function<void(const std::wstring&)> observer)
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_observer = std::move(observer);
}

void CLineLog::ForgetPreviousCall()
{
    std::lock_guard<std::mutex> lock(g_lock);
    m_previousCounter = 0;
}

CLineLog& ProcessLog()
{
    static CLineLog log(RealSystem());
    return log;
}

void WriteLog(std::wstring text) { ProcessLog().Write(std::move(text)); }

std::wstring LogTimestamp() { return ProcessLog().Timestamp(); }

#if VU_TEST_HOOKS
void ResetLogIntervalForTesting() { ProcessLog().ForgetPreviousCall(); }
#endif

} // namespace vu
