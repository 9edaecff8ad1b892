// The console front end: the commands of the window and its repair menu.
#pragma once

#include "engine/EngineContext.h"

#include <ostream>

namespace vu {

enum : int {
    CONSOLE_OK = 0,
    CONSOLE_FAILED = 1,
    CONSOLE_USAGE = 2,
};

// Parses the command line and runs the command with context (--simulator
// puts the simulator's client in place of its driver). terminal: out is a
// terminal, so lines that count on may be rewritten in place.
int RunConsole(int argc, const char* const* argv, std::ostream& out, std::ostream& err, bool terminal,
               const EngineContext& context);

} // namespace vu
