// printf-style filling of a wide text with one meaning on every platform:
// "%s" takes a const wchar_t*, "%S" a const char*, "%c" a wide character;
// numbers as in C printf (d i u o x X f e g with flags, width, precision,
// "*" for either, and the hh, h, l, ll, j, z, t, L lengths). A conversion
// this does not know, or one cut off by the end of the text, is shown as
// written.
#pragma once

#include <string>

namespace vu {

std::wstring Format(const wchar_t* format, ...);

} // namespace vu
