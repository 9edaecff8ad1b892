// The parts of the socket layer that are the same on every platform.
#include "platform/Socket.h"

#include <algorithm>

namespace vu::net {

namespace {
// One call moves at most this much, so the count fits a send's int.
constexpr size_t CALL_BYTES_MAX = size_t(1) << 20;
} // namespace

size_t SendAll(SocketHandle s, const void* data, size_t n)
{
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    size_t sent = 0;
    while (sent < n) {
        int r = Send(s, bytes + sent, int(std::min(n - sent, CALL_BYTES_MAX)));
        if (r <= 0)
            break;
        sent += size_t(r);
    }
    return sent;
}

bool RecvAll(SocketHandle s, void* buf, size_t n)
{
    uint8_t* bytes = static_cast<uint8_t*>(buf);
    while (n > 0) {
        int r = Recv(s, bytes, int(std::min(n, CALL_BYTES_MAX)));
        if (r <= 0)
            return false;
        bytes += r;
        n -= size_t(r);
    }
    return true;
}

int SplitHostPort(const std::string& text, std::string* host, uint16_t* port)
{
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
        return HOSTPORT_E_SHAPE;
    const std::string digits = text.substr(colon + 1);
    if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
        return HOSTPORT_E_PORT;
    uint32_t value = 0;
    for (char ch : digits)
        value = value * 10 + uint32_t(ch - '0');
    if (value > 65535)
        return HOSTPORT_E_PORT;
    *host = text.substr(0, colon);
    *port = uint16_t(value);
    return HOSTPORT_OK;
}

} // namespace vu::net
