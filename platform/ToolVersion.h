// The tool's version text: the window title, the start log line, request
// field 2 of every exchange and the console's --version.
#pragma once

namespace vu {

inline constexpr wchar_t TOOL_VERSION_TEXT[] = L"1.4.1";

} // namespace vu
