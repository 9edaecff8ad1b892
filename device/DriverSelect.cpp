#include "device/FtdiDriver.h"

#include "platform/Platform.h"

namespace vu {

IFtdiDriver& ProcessDriver()
{
    static const std::unique_ptr<IFtdiDriver> driver = []() -> std::unique_ptr<IFtdiDriver> {
#if VU_TEST_HOOKS
        // Development builds: the tests may put a simulated machine where the converter would be.
        if (std::string simulator = GetEnv("VANTORELLE_SIMULATOR"); !simulator.empty())
            return CreateVirtualFtdiClient(simulator);
#endif
        return CreatePlatformDriver();
    }();
    return *driver;
}

} // namespace vu
