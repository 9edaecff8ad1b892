// A plain HTTP GET of a small page, through the system's Internet access:
// WinINet with the user's pre-configured proxy settings on Windows, libcurl
// with the usual proxy environment variables on Linux.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vu::net {

constexpr int HTTP_GET_OK = 0;
constexpr int HTTP_GET_FAILED = 7;

// Time limits of a fetch, in milliseconds.
struct HttpLimits {
    uint32_t connectMs; // to set up each connection
    uint32_t receiveMs; // without a byte from the server, once connected
};

// WinINet's defaults, which the Linux fetch keeps to when given no limits.
constexpr HttpLimits WININET_DEFAULT_LIMITS{60000, 30000};

// GETs url, following redirects as WinINet does. Keeps the body's first
// maxBytes bytes, carriage returns dropped, in *body (emptied first) and
// reads the rest to its end; *bodyBytes, when given, gets the whole body's
// length without carriage returns, so a caller can tell a cut body.
// HTTP_GET_OK when the body was read to its end, whatever the HTTP status;
// HTTP_GET_FAILED on any failure, *body then keeps what arrived before it.
// limits: nullptr for the system's own (on Windows WinINet's, as configured).
int HttpGet(const std::string& url, std::string* body, size_t maxBytes, uint64_t* bodyBytes = nullptr,
            const HttpLimits* limits = nullptr);

} // namespace vu::net
