// What a worker runs with: the machine's driver, the system's services
// (clock, sleep, beep) and the server link's seams. The front end hands it
// to the workers through their window; the process's own is the default,
// tests pass a machine model, a virtual clock and short time limits.
#pragma once

#include "device/FtdiDriver.h"
#include "platform/Platform.h"
#include "server/ServerSeams.h"

namespace vu {

struct EngineContext {
    IFtdiDriver& driver;
    ISystemServices& system;
    ServerSeams server;
};

// ProcessDriver(), RealSystem() and the real server seams; made at first use.
const EngineContext& ProcessContext();

} // namespace vu
