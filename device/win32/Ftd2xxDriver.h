// The FTDI D2XX driver library, loaded at run time.
#pragma once

#include "device/FtdiDriver.h"

#include <memory>

namespace vu {

// Loads the named library (the product uses "FTD2XX.dll") from the program's
// folder or the system folders. A library that is missing, or lacks any of
// the functions the link calls, gives a driver that sees no device.
std::unique_ptr<IFtdiDriver> CreateFtd2xxDriver(const wchar_t* libraryName);

} // namespace vu
