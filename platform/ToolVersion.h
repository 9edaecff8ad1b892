// The tool's version text: the window title, the start log line, request
// field 2 of every exchange and the console's --version. It is
// project(VERSION) in CMakeLists.txt, through the generated VuVersion.h.
#pragma once

#include <VuVersion.h>

namespace vu {

inline constexpr wchar_t TOOL_VERSION_TEXT[] = VU_VERSION_WTEXT;

} // namespace vu
