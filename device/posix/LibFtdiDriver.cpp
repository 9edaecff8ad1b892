// Placeholder until the libftdi1 back end lands: no device.
#include "device/NoDeviceDriver.h"

namespace vu {
std::unique_ptr<IFtdiDriver> CreatePlatformDriver() { return std::make_unique<NoDeviceDriver>(); }
} // namespace vu
