// Helpers shared by the suites: temporary folders, file contents and a
// capture of the texts handed to WriteLog.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace vu::test {

// A fresh folder below the system's temporary folder, removed at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path);
std::string ReadFileText(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

// Sends the log to a private file and records every text logged, for the
// life of the object.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::wstring> Lines() const;
    bool Contains(const std::wstring& text) const;      // a line equal to text
    size_t Count(const std::wstring& text) const;
    // Index of the first line equal to text at or after from, or -1.
    int IndexOf(const std::wstring& text, size_t from = 0) const;
    void Clear();
    const std::filesystem::path& File() const { return m_file; }

private:
    TempDir m_dir;
    std::filesystem::path m_file;
    mutable std::mutex m_lock;
    std::vector<std::wstring> m_lines;
};

std::wstring Widen(const std::string& s);
std::string Narrow(const std::wstring& s);

} // namespace vu::test
