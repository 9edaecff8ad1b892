// One request/reply exchange with the update server over TCP, resumed
// across up to 30 conversations.
#pragma once

#include "server/ExchangeRecord.h"
#include "server/ServerSeams.h"

#include <cstdint>
#include <vector>

namespace vu {

constexpr int SERVER_RETRY = 10752;
constexpr int SERVER_BAD_REPLY = 240;
// The named server's name is unknown (Winsock's WSAHOST_NOT_FOUND).
constexpr int SERVER_HOST_NOT_FOUND = 11001;

int ExchangeWithServer(ExchangeRecord& record, const ServerSeams& seams);

// The most reply bytes an exchange takes, over all its conversations.
constexpr int32_t SERVER_REPLY_MAX_BYTES = 20'000'000;

// One TCP conversation: address step, connect, send the whole packet,
// half-close, receive until the server closes. What arrives is appended to
// reply (which holds the earlier conversations' bytes) and counted in
// received, set to 0 when receiving starts. 0, SERVER_RETRY, -1,
// SERVER_HOST_NOT_FOUND, or SERVER_BAD_REPLY when the reply grows past
// SERVER_REPLY_MAX_BYTES.
int RunServerConversation(const ExchangeRecord& record, const uint8_t* packet, int32_t packetLength,
                          std::vector<uint8_t>& reply, int32_t& received, const ServerSeams& seams);

} // namespace vu
