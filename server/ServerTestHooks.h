// Seams for the server link's tests: a scripted host-name look-up and a
// shorter receive time-out, so failures are reproducible and quick.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vu {

// A host-name look-up: true with the entry's addresses (network byte order)
// and whether the entry is IPv4; or false with the resolver's error code,
// which may be 0. An empty function restores the system's look-up.
using HostLookup = std::function<bool(const std::string& name, std::vector<uint32_t>* addrsNet, bool* isIpv4,
                                      int* error)>;
void SetHostLookupForTesting(HostLookup lookup);

// The receive time-out of a conversation in milliseconds; 0 restores 40000.
void SetReceiveTimeoutForTesting(uint32_t ms);
uint32_t ReceiveTimeoutMs();

// At most this many bytes per send call, as a busy socket may take; 0: no limit.
void SetSendChunkForTesting(int bytes);

} // namespace vu
