#include "tests/server/ServerLinkFixture.h"

#include "platform/ToolVersion.h"

#include "platform/Platform.h"

#include <cstring>

namespace vu::test {

const Bytes TAG_NOTES{0x02, 0x01, 0x04}, TAG_FIRMWARE{0x02, 0x01, 0x01}, TAG_IMAGE_SIZE{0x02, 0x01, 0x03},
    TAG_IMAGE_PART{0x02, 0x01, 0x02}, TAG_PLAYBACK{0x07, 0x41}, TAG_CARD{0x07, 0x42};

RecordPtr NewRecord(int32_t namedServer)
{
    RecordPtr r(new ExchangeRecord);
    InitExchangeRecord(*r, namedServer);
    return r;
}

RecordPtr RequestFor(const Bytes& tag, int32_t namedServer, uint32_t partOffset, uint32_t partSize)
{
    RecordPtr r = NewRecord(namedServer);
    AddRequestField(*r, tag.data(), int32_t(tag.size()));
    std::vector<int> sizes;
    EXPECT_TRUE(sim::ExpectedFieldSizes(tag, &sizes));
    for (size_t i = 0; i < sizes.size(); ++i) {
        Bytes field(size_t(sizes[i] < 0 ? 2 : sizes[i]), 0);
        if (sizes[i] < 0)
            field = {'e', 'n'};
        if (tag == TAG_IMAGE_PART && (i == 3 || i == 4)) {
            field.clear();
            AppendLe32(field, i == 3 ? partOffset : partSize);
        }
        AddRequestField(*r, field.data(), int32_t(field.size()));
    }
    return r;
}

Bytes Utf16Le(const std::wstring& text)
{
    Bytes b;
    for (wchar_t c : text) {
        b.push_back(uint8_t(c & 0xFF));
        b.push_back(uint8_t(uint32_t(c) >> 8));
    }
    return b;
}

Bytes VersionField() { return Utf16Le(TOOL_VERSION_TEXT); }

Bytes ReplyRecord(const ExchangeRecord& record, int i)
{
    return Bytes(record.replyData[i], record.replyData[i] + record.replyLength[i]);
}

std::vector<Bytes> ReplyRecords(const ExchangeRecord& record)
{
    std::vector<Bytes> out;
    for (int i = 0; i < record.replyCount; ++i)
        out.push_back(ReplyRecord(record, i));
    return out;
}

void FillSentinelReply(ExchangeRecord& record)
{
    record.replyCount = 2;
    record.replyLength[0] = 3;
    std::memcpy(record.replyData[0], "\x11\x22\x33", 3);
    record.replyLength[1] = 1;
    record.replyData[1][0] = 0x44;
}

void ExpectSentinelReply(const ExchangeRecord& record)
{
    EXPECT_EQ(record.replyCount, 2);
    EXPECT_EQ(ReplyRecord(record, 0), (Bytes{0x11, 0x22, 0x33}));
    EXPECT_EQ(ReplyRecord(record, 1), (Bytes{0x44}));
    for (int i = 2; i < 20; ++i)
        EXPECT_EQ(record.replyLength[i], 0) << i;
}

std::wstring W(const std::string& s) { return Widen(s); }

void ServerLinkTest::SetUp() { m_seams.receiveTimeoutMs = 400; }

void ServerLinkTest::TearDown()
{
    if (m_server)
        m_server->Stop();
    m_server.reset();
    for (const char* name : {"VANTORELLE_FIXED_SERVER", "VANTORELLE_SERVER_NAME", "VANTORELLE_ADDRESS_PAGE"})
        SetEnv(name, "");
}

void ServerLinkTest::StartServer(sim::UpdateContent content, sim::UpdateServerOptions options)
{
    if (m_server)
        m_server->Stop();
    m_server = std::make_unique<sim::UpdateServer>(std::move(content), options);
    std::string error;
    ASSERT_TRUE(m_server->Start(&error)) << error;
    m_server->ExportEnvironment();
}

} // namespace vu::test
