#include "log/Format.h"

#include <cstdarg>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <vector>

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

// snprintf of one conversion, as long as its text needs (a wide field does
// not fit a fixed buffer).
template <typename T>
void AppendPrinted(std::wstring& out, const std::string& conversion, T value)
{
    char small[128];
    int n = std::snprintf(small, sizeof small, conversion.c_str(), value);
    if (n < 0)
        return;
    if (size_t(n) < sizeof small) {
        AppendNarrow(out, small);
        return;
    }
    std::vector<char> large(size_t(n) + 1);
    std::snprintf(large.data(), large.size(), conversion.c_str(), value);
    AppendNarrow(out, large.data());
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
        const wchar_t* start = p++;
        std::string flags;
        while (*p && std::wcschr(L"-+ 0#", *p))
            flags.push_back(char(*p++));
        int width = -1;
        if (*p == L'*') {
            width = va_arg(args, int);
            ++p;
            // A negative width from the arguments is the '-' flag with its size.
            if (width < 0) {
                flags.push_back('-');
                width = width == INT_MIN ? INT_MAX : -width;
            }
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
                if (precision < 0)
                    precision = -1; // a negative precision counts as none
            } else {
                for (; *p >= L'0' && *p <= L'9'; ++p)
                    precision = precision * 10 + (*p - L'0');
            }
        }
        std::string length;
        while (*p && std::wcschr(L"hlzjtL", *p))
            length.push_back(char(*p++));
        wchar_t conv = *p;
        if (!conv) {
            // A conversion cut off by the end of the text is shown as written.
            out.append(start, p);
            break;
        }

        std::string conversion = "%" + flags;
        if (width >= 0)
            conversion += std::to_string(width);
        if (precision >= 0)
            conversion += "." + std::to_string(precision);
        switch (conv) {
        case L'd':
        case L'i':
            if (length == "ll" || length == "j")
                AppendPrinted(out, conversion + "lld", va_arg(args, long long));
            else if (length == "l")
                AppendPrinted(out, conversion + "ld", va_arg(args, long));
            else if (length == "z" || length == "t")
                AppendPrinted(out, conversion + "lld", (long long)va_arg(args, ptrdiff_t));
            else if (length == "h" || length == "hh")
                AppendPrinted(out, conversion + length + "d", va_arg(args, int));
            else
                AppendPrinted(out, conversion + "d", va_arg(args, int));
            break;
        case L'u':
        case L'o':
        case L'x':
        case L'X': {
            char c = char(conv);
            if (length == "ll" || length == "j")
                AppendPrinted(out, conversion + "ll" + c, va_arg(args, unsigned long long));
            else if (length == "l")
                AppendPrinted(out, conversion + "l" + c, va_arg(args, unsigned long));
            else if (length == "z" || length == "t")
                AppendPrinted(out, conversion + "ll" + c, (unsigned long long)va_arg(args, size_t));
            else if (length == "h" || length == "hh")
                AppendPrinted(out, conversion + length + c, va_arg(args, unsigned));
            else
                AppendPrinted(out, conversion + c, va_arg(args, unsigned));
            break;
        }
        case L'f':
        case L'F':
        case L'e':
        case L'E':
        case L'g':
        case L'G':
            if (length == "L")
                AppendPrinted(out, conversion + "L" + char(conv), va_arg(args, long double));
            else
                AppendPrinted(out, conversion + char(conv), va_arg(args, double));
            break;
        case L'c': {
            // A wide character; a negative value is a signed char's byte, shown
            // as the character of that byte as the log stores it.
            int ch = va_arg(args, int);
            AppendPadded(out, std::wstring(1, static_cast<wchar_t>(ch < 0 && ch >= -128 ? ch & 0xFF : ch)), flags,
                         width, -1);
            break;
        }
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
        case L'%':
            out.push_back(L'%');
            break;
        default:
            // Unknown: shown as written, and no argument is taken.
            out.append(start, p + 1);
            break;
        }
    }
    va_end(args);
    return out;
}

} // namespace vu
