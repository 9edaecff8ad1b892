// printf-style filling of a wide text with one meaning on every platform:
// "%s" takes a const wchar_t*, "%S" a const char*; numbers as in C printf
// (d i u x X c f with flags, width, precision, and the h, l, ll, z lengths).
#pragma once

#include <string>

namespace vu {

std::wstring Format(const wchar_t* format, ...);

} // namespace vu
