// Shared pieces of the server-link tests: records that free themselves, a
// request of each kind the server knows, and a fixture with a reference
// update server on its own loopback address and seams with a short receive
// time-out.
#pragma once

#include "server/ExchangeRecord.h"
#include "server/ServerExchange.h"
#include "sim/update-server/UpdateServer.h"
#include "tests/testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace vu::test {

using sim::Bytes;

struct RecordDeleter {
    void operator()(ExchangeRecord* r) const
    {
        FreeExchangeRecord(*r);
        delete r;
    }
};
using RecordPtr = std::unique_ptr<ExchangeRecord, RecordDeleter>;

RecordPtr NewRecord(int32_t namedServer);
// A record holding a well-formed request for tag: the tag, the automatic
// fields and the fields of that kind (zero bytes; the part request gets
// offset and size).
RecordPtr RequestFor(const Bytes& tag, int32_t namedServer, uint32_t partOffset = 0, uint32_t partSize = 0);
Bytes ReplyRecord(const ExchangeRecord& record, int i);
std::vector<Bytes> ReplyRecords(const ExchangeRecord& record);
// Fills the reply side with two records, to see that a failure leaves it alone.
void FillSentinelReply(ExchangeRecord& record);
void ExpectSentinelReply(const ExchangeRecord& record);

std::wstring W(const std::string& s);
// A text as the request carries it: UTF-16LE, no terminator.
Bytes Utf16Le(const std::wstring& text);
// The tool's version as request field 2 carries it.
Bytes VersionField();

extern const Bytes TAG_NOTES, TAG_FIRMWARE, TAG_IMAGE_SIZE, TAG_IMAGE_PART, TAG_PLAYBACK, TAG_CARD;

class ServerLinkTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Starts the server (replacing one that runs) and points the tool at it.
    void StartServer(sim::UpdateContent content = sim::MakeDemoContent(3000, 5000),
                     sim::UpdateServerOptions options = {});
    void StartServer(sim::UpdateServerOptions options) { StartServer(sim::MakeDemoContent(3000, 5000), options); }
    std::vector<std::wstring> Lines() const { return m_log.Lines(); }

    LogCapture m_log;
    ServerSeams m_seams; // what the exchanges run with
    std::unique_ptr<sim::UpdateServer> m_server;
};

} // namespace vu::test
