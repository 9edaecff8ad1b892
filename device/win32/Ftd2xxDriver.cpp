// Placeholder until the FTD2XX.dll loader lands: no device.
#include "device/NoDeviceDriver.h"

namespace vu {
std::unique_ptr<IFtdiDriver> CreatePlatformDriver() { return std::make_unique<NoDeviceDriver>(); }
} // namespace vu
