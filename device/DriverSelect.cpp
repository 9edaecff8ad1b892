#include "device/FtdiDriver.h"

#include "platform/Platform.h"

#include <atomic>
#include <mutex>

namespace vu {

namespace {
std::atomic<IFtdiDriver*> g_installed{nullptr};
std::once_flag g_chosen;
std::unique_ptr<IFtdiDriver> g_default;
} // namespace

IFtdiDriver& Driver()
{
    if (IFtdiDriver* d = g_installed.load())
        return *d;
    std::call_once(g_chosen, [] {
        std::string simulator = GetEnv("VANTORELLE_SIMULATOR");
        g_default = simulator.empty() ? CreatePlatformDriver() : CreateVirtualFtdiClient(simulator);
    });
    return *g_default;
}

void SetDriver(IFtdiDriver* driver) { g_installed.store(driver); }

} // namespace vu
