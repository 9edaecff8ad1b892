#include "platform/Platform.h"

namespace vu {

std::wstring ComputerNameFromHostName(const std::string& host)
{
    std::string label = host.substr(0, host.find('.'));
    if (label.size() > 15)
        label.resize(15);
    // Byte by byte through the code page: a byte above 127 must not widen as a negative char.
    return AnsiToWide(reinterpret_cast<const uint8_t*>(label.data()), label.size());
}

} // namespace vu
