#include "tests/server/ServerLinkFixture.h"

#include "platform/Platform.h"

#include <algorithm>

namespace vu::test {
namespace {

Bytes Field(const ExchangeRecord& r, int i) { return Bytes(r.requestData[i], r.requestData[i] + r.requestLength[i]); }

TEST(ExchangeRecordTest, InitChoosesThePortAndStartsEmptyAndZeroed)
{
    const struct { int32_t namedServer; int32_t port; } cases[] = {{0, 5001}, {1, 4006}, {2, 4006}, {-1, 4006}};
    for (const auto& c : cases) {
        RecordPtr r = NewRecord(c.namedServer);
        EXPECT_EQ(r->namedServer, c.namedServer);
        EXPECT_EQ(r->port, c.port) << c.namedServer;
        EXPECT_EQ(r->requestCount, 0);
        EXPECT_EQ(r->replyCount, 0);
    }
    RecordPtr r = NewRecord(1);
    const uint8_t* reply = &r->replyData[0][0];
    EXPECT_TRUE(std::all_of(reply, reply + EXCHANGE_MAX_REPLIES * EXCHANGE_REPLY_BYTES, [](uint8_t b) { return b == 0; }));
    const uint8_t* request = &r->requestData[0][0];
    EXPECT_TRUE(std::all_of(request, request + EXCHANGE_MAX_FIELDS * EXCHANGE_FIELD_BYTES, [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::all_of(std::begin(r->replyLength), std::end(r->replyLength), [](int32_t n) { return n == 0; }));
}

TEST(ExchangeRecordTest, FirstFieldBringsComputerNameAndVersionInUtf16)
{
    const Bytes tag{0x02, 0x01, 0x04};
    RecordPtr r = NewRecord(0);
    AddRequestField(*r, tag.data(), 3);
    ASSERT_EQ(r->requestCount, 3);
    EXPECT_EQ(Field(*r, 0), tag);
    Bytes name = Utf16Le(ComputerName());
    EXPECT_EQ(Field(*r, 1), name);
    EXPECT_LE(name.size(), 30u);
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(Field(*r, 2), VersionField());

    const Bytes en{'e', 'n'};
    AddRequestField(*r, en.data(), 2);
    EXPECT_EQ(r->requestCount, 4);
    EXPECT_EQ(Field(*r, 3), en);
}

TEST(ExchangeRecordTest, EmptyFirstFieldStillBringsTheAutomaticFields)
{
    RecordPtr r = NewRecord(0);
    AddRequestField(*r, nullptr, 0);
    EXPECT_EQ(r->requestCount, 3);
    EXPECT_EQ(r->requestLength[0], 0);
    EXPECT_EQ(r->requestLength[2], 10);
}

TEST(ExchangeRecordTest, FieldsBeyondTheCapacitiesAreBounded)
{
    RecordPtr r = NewRecord(0);
    Bytes big(150, 0xAB);
    AddRequestField(*r, big.data(), int32_t(big.size()));
    EXPECT_EQ(r->requestLength[0], EXCHANGE_FIELD_BYTES);   // cut to its buffer
    EXPECT_EQ(Field(*r, 0), Bytes(100, 0xAB));
    for (int i = 0; i < 12; ++i)
        AddRequestField(*r, big.data(), 1);
    EXPECT_EQ(r->requestCount, EXCHANGE_MAX_FIELDS);          // the rest dropped
    AddRequestField(*r, big.data(), -5);
    EXPECT_EQ(r->requestCount, EXCHANGE_MAX_FIELDS);
}

TEST(ExchangeRecordTest, LogReplyRecordsWritesCountThenHexPerRecord)
{
    LogCapture log;
    RecordPtr r = NewRecord(0);
    LogReplyRecords(*r);
    EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{L"R_Count:0"}));

    log.Clear();
    r->replyCount = 3;
    r->replyLength[0] = 3;
    r->replyData[0][0] = 0x07;
    r->replyData[0][1] = 0x41;
    r->replyData[0][2] = 0x00;
    r->replyLength[1] = 0;
    r->replyLength[2] = 2;
    r->replyData[2][0] = 0xAB;
    r->replyData[2][1] = 0x0C;
    LogReplyRecords(*r);
    EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{L"R_Count:3", L"R(0):07 41 00", L"R(1):", L"R(2):AB 0C"}));
}

TEST(ExchangeRecordTest, FreeReleasesTheBuffersAndMayBeRepeated)
{
    ExchangeRecord* r = new ExchangeRecord;
    InitExchangeRecord(*r, 1);
    r->replyCount = 4;
    FreeExchangeRecord(*r);
    EXPECT_EQ(r->requestData, nullptr);
    EXPECT_EQ(r->replyData, nullptr);
    EXPECT_EQ(r->replyCount, 4);  // counts are left for the caller
    FreeExchangeRecord(*r);
    delete r;
}

} // namespace
} // namespace vu::test
