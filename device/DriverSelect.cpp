#include "device/FtdiDriver.h"

#include "platform/Platform.h"

namespace vu {

IFtdiDriver& ProcessDriver()
{
    static const std::unique_ptr<IFtdiDriver> driver = [] {
        std::string simulator = GetEnv("VANTORELLE_SIMULATOR");
        return simulator.empty() ? CreatePlatformDriver() : CreateVirtualFtdiClient(simulator);
    }();
    return *driver;
}

} // namespace vu
