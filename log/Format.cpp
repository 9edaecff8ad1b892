#include "log/Format.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace vu {

namespace {

void AppendNarrow(std::wstring& out, const char* s)
{
    while (*s)
        out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*s++)));
}

void AppendPadded(std::wstring& out, std::wstring piece, const std::string& flags, int width, int precision)
{
    if (precision >= 0 && size_t(precision) < piece.size())
        piece.resize(size_t(precision));
    size_t pad = width > int(piece.size()) ? size_t(width) - piece.size() : 0;
    if (flags.find('-') != std::string::npos)
        out += piece + std::wstring(pad, L' ');
    else
        out += std::wstring(pad, L' ') + piece;
}

} // namespace

std::wstring Format(const wchar_t* format, ...)
{
    std::wstring out;
    va_list args;
    va_start(args, format);
    for (const wchar_t* p = format; *p; ++p) {
        if (*p != L'%') {
            out.push_back(*p);
            continue;
        }
        ++p;
        if (*p == L'%') {
            out.push_back(L'%');
            continue;
        }
        std::string flags;
        while (*p && std::wcschr(L"-+ 0#", *p))
            flags.push_back(char(*p++));
        int width = -1;
        if (*p == L'*') {
            width = va_arg(args, int);
            ++p;
        } else {
            for (; *p >= L'0' && *p <= L'9'; ++p)
                width = (width < 0 ? 0 : width * 10) + (*p - L'0');
        }
        int precision = -1;
        if (*p == L'.') {
            ++p;
            precision = 0;
            if (*p == L'*') {
                precision = va_arg(args, int);
                ++p;
            } else {
                for (; *p >= L'0' && *p <= L'9'; ++p)
                    precision = precision * 10 + (*p - L'0');
            }
        }
        std::string length;
        while (*p && std::wcschr(L"hlzL", *p))
            length.push_back(char(*p++));
        wchar_t conv = *p;
        if (!conv)
            break;

        std::string conversion = "%" + flags;
        if (width >= 0)
            conversion += std::to_string(width);
        if (precision >= 0)
            conversion += "." + std::to_string(precision);
        char buf[512];
        switch (conv) {
        case L'd':
        case L'i':
            if (length == "ll")
                std::snprintf(buf, sizeof buf, (conversion + "lld").c_str(), va_arg(args, long long));
            else if (length == "l")
                std::snprintf(buf, sizeof buf, (conversion + "ld").c_str(), va_arg(args, long));
            else if (length == "z")
                std::snprintf(buf, sizeof buf, (conversion + "lld").c_str(), (long long)va_arg(args, ptrdiff_t));
            else
                std::snprintf(buf, sizeof buf, (conversion + "d").c_str(), va_arg(args, int));
            AppendNarrow(out, buf);
            break;
        case L'u':
        case L'x':
        case L'X': {
            char c = char(conv);
            if (length == "ll")
                std::snprintf(buf, sizeof buf, (conversion + "ll" + c).c_str(), va_arg(args, unsigned long long));
            else if (length == "l")
                std::snprintf(buf, sizeof buf, (conversion + "l" + c).c_str(), va_arg(args, unsigned long));
            else if (length == "z")
                std::snprintf(buf, sizeof buf, (conversion + "ll" + c).c_str(), (unsigned long long)va_arg(args, size_t));
            else
                std::snprintf(buf, sizeof buf, (conversion + c).c_str(), va_arg(args, unsigned));
            AppendNarrow(out, buf);
            break;
        }
        case L'f':
        case L'e':
        case L'g':
            std::snprintf(buf, sizeof buf, (conversion + char(conv)).c_str(), va_arg(args, double));
            AppendNarrow(out, buf);
            break;
        case L'c':
            AppendPadded(out, std::wstring(1, static_cast<wchar_t>(va_arg(args, int))), flags, width, -1);
            break;
        case L's': {
            const wchar_t* s = va_arg(args, const wchar_t*);
            AppendPadded(out, s ? s : L"(null)", flags, width, precision);
            break;
        }
        case L'S': {
            const char* s = va_arg(args, const char*);
            std::wstring w;
            AppendNarrow(w, s ? s : "(null)");
            AppendPadded(out, w, flags, width, precision);
            break;
        }
        default:
            out.push_back(L'%');
            out.push_back(conv);
            break;
        }
    }
    va_end(args);
    return out;
}

} // namespace vu
