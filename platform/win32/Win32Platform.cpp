#include "platform/Platform.h"

#include <windows.h>
#include <objbase.h>

#include <cstdlib>
#include <cstring>

namespace vu {

namespace {

class Win32System : public ISystemServices {
public:
    uint32_t TickCount() override { return ::GetTickCount(); }
    void Sleep(uint32_t ms) override { ::Sleep(ms); }
    uint64_t PerformanceCounter() override
    {
        LARGE_INTEGER v;
        ::QueryPerformanceCounter(&v);
        return static_cast<uint64_t>(v.QuadPart);
    }
    uint64_t PerformanceFrequency() override
    {
        LARGE_INTEGER v;
        ::QueryPerformanceFrequency(&v);
        return static_cast<uint64_t>(v.QuadPart);
    }
    LocalTime Now() override
    {
        SYSTEMTIME st;
        ::GetLocalTime(&st);
        return {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
    }
    void Beep(uint32_t hz, uint32_t ms) override { ::Beep(hz, ms); }
};

} // namespace

ISystemServices& RealSystem()
{
    static Win32System system;
    return system;
}

std::filesystem::path ExecutablePath()
{
    // The wide call: a folder name outside the ANSI code page stays intact.
    wchar_t buf[260] = {};
    DWORD n = ::GetModuleFileNameW(nullptr, buf, 260);
    if (n >= 260)
        n = 259; // the call cuts a longer path to the buffer
    return std::filesystem::path(std::wstring(buf, n));
}

std::wstring ComputerName()
{
    wchar_t buf[260] = {};
    DWORD size = 260;
    if (!::GetComputerNameW(buf, &size))
        return L"";
    return std::wstring(buf, size);
}

void RandomBytes8(uint8_t out[8])
{
    GUID g;
    ::CoCreateGuid(&g);
    std::memcpy(out, &g, 8);
}

std::wstring AnsiToWide(const uint8_t* bytes, size_t count)
{
    if (count == 0)
        return L"";
    const char* src = reinterpret_cast<const char*>(bytes);
    int n = ::MultiByteToWideChar(CP_THREAD_ACP, 0, src, int(count), nullptr, 0);
    std::wstring text(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0)
        ::MultiByteToWideChar(CP_THREAD_ACP, 0, src, int(count), text.data(), n);
    return text;
}

std::string GetEnv(const char* name)
{
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

// An empty value removes the variable, as _putenv_s does.
void SetEnv(const char* name, const std::string& value) { _putenv_s(name, value.c_str()); }

std::FILE* OpenFileForAppend(const std::filesystem::path& path) { return _wfopen(path.c_str(), L"ab"); }

std::filesystem::path FallbackLogFolder() { return {}; }

} // namespace vu
