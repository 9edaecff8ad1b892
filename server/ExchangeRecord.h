// One conversation with the update server: the request fields sent and the
// reply records returned.
#pragma once

#include <cstdint>

namespace vu {

constexpr int EXCHANGE_MAX_FIELDS = 10;
constexpr int EXCHANGE_FIELD_BYTES = 100;
constexpr int EXCHANGE_MAX_REPLIES = 12000;
constexpr int EXCHANGE_REPLY_BYTES = 1100;

struct ExchangeRecord {
    int32_t namedServer = 0;
    int32_t port = 0;
    int32_t requestCount = 0;
    uint8_t (*requestData)[EXCHANGE_FIELD_BYTES] = nullptr;  // EXCHANGE_MAX_FIELDS buffers
    int32_t requestLength[EXCHANGE_MAX_FIELDS] = {};
    int32_t replyCount = 0;
    uint8_t (*replyData)[EXCHANGE_REPLY_BYTES] = nullptr;    // EXCHANGE_MAX_REPLIES buffers
    int32_t replyLength[EXCHANGE_MAX_REPLIES] = {};
};

void InitExchangeRecord(ExchangeRecord& record, int32_t namedServer);
void AddRequestField(ExchangeRecord& record, const uint8_t* bytes, int32_t length);
void FreeExchangeRecord(ExchangeRecord& record);
void LogReplyRecords(const ExchangeRecord& record);

} // namespace vu
