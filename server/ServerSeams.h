// What a server conversation takes from the system, as one object passed in:
// the host-name look-up, the receive time-out and the largest send. Made
// with no arguments it holds the real ones; tests script a look-up and
// shorten the time-out, so failures are reproducible and quick.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vu {

// A host-name look-up: true with the entry's addresses (network byte order)
// and whether the entry is IPv4; or false with the resolver's error code,
// which may be 0.
using HostLookup = std::function<bool(const std::string& name, std::vector<uint32_t>* addrsNet, bool* isIpv4,
                                      int* error)>;

constexpr uint32_t SERVER_RECEIVE_TIMEOUT_MS = 40000;

struct ServerSeams {
    HostLookup lookUpHost;                               // empty: the system's look-up
    uint32_t receiveTimeoutMs = SERVER_RECEIVE_TIMEOUT_MS; // of each conversation
    int sendChunk = 0;                                   // most bytes per send call, as a busy socket takes; 0: no limit
};

} // namespace vu
