// Placeholder until the virtual FTDI client lands: no device.
#include "device/NoDeviceDriver.h"

namespace vu {
std::unique_ptr<IFtdiDriver> CreateVirtualFtdiClient(const std::string&) { return std::make_unique<NoDeviceDriver>(); }
} // namespace vu
