// The address step of a server conversation: the fixed server address, or
// the named server's address by DNS and, failing that, by the address page.
#pragma once

#include "server/ExchangeRecord.h"
#include "server/ServerSeams.h"

#include <cstdint>
#include <string>

namespace vu {

// The endpoints in force: the build's constants; in a development build the
// environment variables VANTORELLE_FIXED_SERVER, VANTORELLE_SERVER_NAME and
// VANTORELLE_ADDRESS_PAGE take their place when set.
std::string FixedServerAddress();
std::string ServerDnsName();
std::string AddressPageUrl();

// The body of the address page, carriage returns dropped, into pageText:
// its first 4096 bytes, the rest read but not kept. net::HTTP_GET_OK (0)
// when read to its end, net::HTTP_GET_FAILED (7) on any failure (pageText
// keeps what arrived). *bodyBytes, when given: the whole body's length
// without carriage returns.
int FetchPageText(const std::string& url, std::string& pageText, uint64_t* bodyBytes = nullptr);

// 0 and *addrNet (network byte order) to connect to; or the conversation's
// end: -1 or SERVER_HOST_NOT_FOUND, with the log lines already written.
int ResolveServerAddress(const ExchangeRecord& record, uint32_t* addrNet, const ServerSeams& seams);

} // namespace vu
