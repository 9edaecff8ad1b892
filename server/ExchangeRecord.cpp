#include "server/ExchangeRecord.h"

#include "log/Format.h"
#include "log/Log.h"
#include "platform/Platform.h"
#include "platform/ToolVersion.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace vu {

namespace {

// UTF-16LE bytes of a text, two per unit, no terminator.
std::basic_string<uint8_t> Utf16Le(const std::wstring& text)
{
    std::basic_string<uint8_t> bytes;
    for (wchar_t ch : text) {
        uint32_t unit = uint32_t(ch);
        if (unit > 0xFFFF) {
            // A wide character outside the basic plane (Linux): send its surrogate pair.
            unit -= 0x10000;
            uint16_t hi = uint16_t(0xD800 + (unit >> 10)), lo = uint16_t(0xDC00 + (unit & 0x3FF));
            bytes.push_back(uint8_t(hi & 0xFF));
            bytes.push_back(uint8_t(hi >> 8));
            bytes.push_back(uint8_t(lo & 0xFF));
            bytes.push_back(uint8_t(lo >> 8));
        } else {
            bytes.push_back(uint8_t(unit & 0xFF));
            bytes.push_back(uint8_t(unit >> 8));
        }
    }
    return bytes;
}

void StoreField(ExchangeRecord& record, const uint8_t* bytes, int32_t length)
{
    // More fields than the record holds are dropped; a field longer than its buffer is cut.
    if (record.requestCount < 0 || record.requestCount >= EXCHANGE_MAX_FIELDS || !record.requestData)
        return;
    int32_t n = std::clamp(length, 0, EXCHANGE_FIELD_BYTES);
    int i = record.requestCount;
    std::memset(record.requestData[i], 0, EXCHANGE_FIELD_BYTES);
    if (n > 0 && bytes)
        std::memcpy(record.requestData[i], bytes, size_t(n));
    record.requestLength[i] = n;
    ++record.requestCount;
}

} // namespace

void InitExchangeRecord(ExchangeRecord& record, int32_t namedServer)
{
    record.namedServer = namedServer;
    record.port = namedServer != 0 ? 4006 : 5001;
    record.requestCount = 0;
    record.replyCount = 0;
    delete[] record.requestData;
    delete[] record.replyData;
    record.requestData = new uint8_t[EXCHANGE_MAX_FIELDS][EXCHANGE_FIELD_BYTES]();
    record.replyData = new uint8_t[EXCHANGE_MAX_REPLIES][EXCHANGE_REPLY_BYTES]();
    std::fill(std::begin(record.requestLength), std::end(record.requestLength), 0);
    std::fill(std::begin(record.replyLength), std::end(record.replyLength), 0);
}

void AddRequestField(ExchangeRecord& record, const uint8_t* bytes, int32_t length)
{
    StoreField(record, bytes, length);
    if (record.requestCount != 1)
        return;
    // The computer name is at most 15 characters on both platforms, so at most 30 bytes.
    std::basic_string<uint8_t> name = Utf16Le(ComputerName());
    StoreField(record, name.data(), int32_t(name.size()));
    std::basic_string<uint8_t> version = Utf16Le(TOOL_VERSION_TEXT);
    StoreField(record, version.data(), int32_t(version.size()));
}

void FreeExchangeRecord(ExchangeRecord& record)
{
    delete[] record.requestData;
    record.requestData = nullptr;
    delete[] record.replyData;
    record.replyData = nullptr;
}

void LogReplyRecords(const ExchangeRecord& record)
{
    WriteLog(Format(L"R_Count:%d", record.replyCount));
    int count = std::min(record.replyCount, int32_t(EXCHANGE_MAX_REPLIES));
    for (int i = 0; i < count; ++i) {
        int32_t length = record.replyData ? std::clamp(record.replyLength[i], 0, EXCHANGE_REPLY_BYTES) : 0;
        std::wstring hex = length > 0 ? HexDump(record.replyData[i], length) : std::wstring();
        WriteLog(Format(L"R(%d):%s", i, hex.c_str()));
    }
}

} // namespace vu
