#include "tests/testsupport/TestSupport.h"

#include "log/Log.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <random>

namespace vu::test {

TempDir::TempDir()
{
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    m_path = std::filesystem::temp_directory_path()
             / ("vu-test-" + std::to_string(rd()) + "-" + std::to_string(stamp) + "-"
                + std::to_string(counter++));
    std::filesystem::create_directories(m_path);
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ReadFileText(const std::filesystem::path& path)
{
    std::vector<uint8_t> bytes = ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

void WriteFileBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

LogCapture::LogCapture() : m_file(m_dir / "log.bin")
{
    SetLogFileOverride(m_file);
    SetLogObserver([this](const std::wstring& text) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_lines.push_back(text);
    });
}

LogCapture::~LogCapture()
{
    SetLogObserver({});
    SetLogFileOverride({});
}

std::vector<std::wstring> LogCapture::Lines() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_lines;
}

bool LogCapture::Contains(const std::wstring& text) const { return IndexOf(text) >= 0; }

size_t LogCapture::Count(const std::wstring& text) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return size_t(std::count(m_lines.begin(), m_lines.end(), text));
}

int LogCapture::IndexOf(const std::wstring& text, size_t from) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    for (size_t i = from; i < m_lines.size(); ++i)
        if (m_lines[i] == text)
            return int(i);
    return -1;
}

void LogCapture::Clear()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_lines.clear();
}

std::wstring Widen(const std::string& s)
{
    std::wstring w;
    for (unsigned char c : s)
        w.push_back(wchar_t(c));
    return w;
}

std::string Narrow(const std::wstring& s)
{
    std::string n;
    for (wchar_t c : s)
        n.push_back(unsigned(c) > 255 ? '?' : char(c));
    return n;
}

} // namespace vu::test
