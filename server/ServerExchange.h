// One request/reply exchange with the update server over TCP, resumed
// across up to 30 conversations.
#pragma once

#include "server/ExchangeRecord.h"

namespace vu {

constexpr int SERVER_RETRY = 10752;
constexpr int SERVER_BAD_REPLY = 240;

int ExchangeWithServer(ExchangeRecord& record);

} // namespace vu
