// A plain HTTP GET of a small page, through the system's Internet access:
// WinINet with the user's pre-configured proxy settings on Windows, libcurl
// with the usual proxy environment variables on Linux.
#pragma once

#include <cstddef>
#include <string>

namespace vu::net {

constexpr int HTTP_GET_OK = 0;
constexpr int HTTP_GET_FAILED = 7;

// Appends the body's bytes, carriage returns dropped, to *body (emptied first).
// HTTP_GET_OK when the body was read to its end, whatever the HTTP status;
// HTTP_GET_FAILED on any failure, *body then keeps what arrived before it.
// A body of more than maxBytes bytes (carriage returns not counted) fails.
int HttpGet(const std::string& url, std::string* body, size_t maxBytes);

} // namespace vu::net
