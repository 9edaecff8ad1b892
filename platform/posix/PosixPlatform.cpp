#include "platform/Platform.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <random>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

namespace vu {

namespace {

uint64_t MonotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1'000'000'000ull + uint64_t(ts.tv_nsec);
}

class PosixSystem : public ISystemServices {
public:
    uint32_t TickCount() override { return static_cast<uint32_t>(MonotonicNs() / 1'000'000ull); }
    void Sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
    uint64_t PerformanceCounter() override { return MonotonicNs(); }
    uint64_t PerformanceFrequency() override { return 1'000'000'000ull; }
    LocalTime Now() override
    {
        timeval tv{};
        gettimeofday(&tv, nullptr);
        tm t{};
        time_t secs = tv.tv_sec;
        localtime_r(&secs, &t);
        return {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                int(tv.tv_usec / 1000)};
    }
    // No PC speaker here: the terminal bell stands in, and the tone's time passes.
    void Beep(uint32_t, uint32_t ms) override
    {
        if (isatty(STDERR_FILENO)) {
            ssize_t ignored = write(STDERR_FILENO, "\a", 1);
            (void)ignored;
        }
        Sleep(ms);
    }
};

} // namespace

ISystemServices& RealSystem()
{
    static PosixSystem system;
    return system;
}

std::filesystem::path ExecutablePath()
{
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0)
        return {};
    n = std::min<ssize_t>(n, 259);
    // The bytes as they are: a folder name need not be UTF-8.
    return std::filesystem::path(std::string(buf, size_t(n)));
}

std::wstring ComputerName()
{
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0)
        return L"";
    return ComputerNameFromHostName(host);
}

void RandomBytes8(uint8_t out[8])
{
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ssize_t n = read(fd, out, 8);
        close(fd);
        if (n == 8)
            return;
    }
    std::random_device rd;
    for (int i = 0; i < 8; ++i)
        out[i] = static_cast<uint8_t>(rd());
}

std::wstring AnsiToWide(const uint8_t* bytes, size_t count)
{
    std::wstring text;
    text.reserve(count);
    for (size_t i = 0; i < count; ++i)
        text.push_back(static_cast<wchar_t>(bytes[i]));
    return text;
}

std::string GetEnv(const char* name)
{
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

void SetEnv(const char* name, const std::string& value)
{
    if (value.empty())
        unsetenv(name);
    else
        setenv(name, value.c_str(), 1);
}

std::FILE* OpenFileForAppend(const std::filesystem::path& path) { return std::fopen(path.c_str(), "ab"); }

std::filesystem::path FallbackLogFolder()
{
    std::filesystem::path base;
    if (std::string state = GetEnv("XDG_STATE_HOME"); !state.empty())
        base = state;
    else if (std::string home = GetEnv("HOME"); !home.empty())
        base = std::filesystem::path(home) / ".local" / "state";
    else
        return {};
    return base / "vantorelle-update";
}

} // namespace vu
