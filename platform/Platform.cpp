#include "platform/Platform.h"

#include <atomic>

namespace vu {

namespace {
std::atomic<ISystemServices*> g_services{nullptr};
}

ISystemServices& Sys()
{
    ISystemServices* s = g_services.load();
    return s ? *s : RealSystem();
}

void SetSys(ISystemServices* services) { g_services.store(services); }

} // namespace vu
