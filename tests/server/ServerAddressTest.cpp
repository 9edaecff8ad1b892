#include "tests/server/ServerLinkFixture.h"

#include "platform/Platform.h"
#include "platform/Socket.h"
#include "server/ServerAddress.h"

#include <atomic>

namespace vu::test {
namespace {

class ServerAddressTest : public ServerLinkTest {
protected:
    // The named server's look-up answers as scripted and counts its calls.
    void ScriptLookUp(bool ok, int error, std::vector<std::string> addresses = {})
    {
        m_seams.lookUpHost = [this, ok, error, addresses](const std::string&, std::vector<uint32_t>* addrs,
                                                           bool* isIpv4, int* err) {
            ++m_lookups;
            for (const std::string& a : addresses)
                addrs->push_back(net::InetAddr(a));
            *isIpv4 = true;
            *err = error;
            return ok;
        };
    }
    // Page requests the server saw.
    size_t PageRequests() const { return m_server->Requests().size() - m_server->ProtocolRequests().size(); }
    // An address page nobody serves: a closed port of the server's address.
    std::string DeadPage() const { return "http://" + m_server->Address() + ":9/forum/getip.php"; }

    std::atomic<int> m_lookups{0};
};

TEST_F(ServerAddressTest, FixedServerNeedsNoLookUpAndNoLine)
{
    StartServer();
    ScriptLookUp(false, 11001);
    RecordPtr r = RequestFor(TAG_NOTES, 0);
    EXPECT_EQ(ExchangeWithServer(*r, m_seams), 0);
    EXPECT_EQ(m_lookups, 0);
    EXPECT_EQ(PageRequests(), 0u);
    EXPECT_EQ(Lines().front(), L"Recv start");
    EXPECT_EQ(m_server->ProtocolRequests().at(0).port, "fixed");
}

TEST_F(ServerAddressTest, NamedServerWithTwoAddressesUsesTheLast)
{
    StartServer();
    // Nothing listens on the first address: only the last one can answer.
    ScriptLookUp(true, 0, {"127.0.0.9", m_server->Address()});
    RecordPtr r = RequestFor(TAG_PLAYBACK, 1);
    EXPECT_EQ(ExchangeWithServer(*r, m_seams), 0);
    EXPECT_EQ(Lines().front(), L"Host ip : " + W(m_server->Address()));
    EXPECT_EQ(m_server->ProtocolRequests().at(0).port, "named");
    EXPECT_EQ(PageRequests(), 0u);
}

TEST_F(ServerAddressTest, EntryWithoutIpv4AddressGivesAnEmptyAddress)
{
    StartServer();
    m_seams.lookUpHost = [](const std::string&, std::vector<uint32_t>*, bool* isIpv4, int*) {
        *isIpv4 = false;
        return true;
    };
    RecordPtr r = RequestFor(TAG_PLAYBACK, 1);
    EXPECT_EQ(ExchangeWithServer(*r, m_seams), SERVER_RETRY);
    EXPECT_EQ(Lines().front(), L"Host ip : ");
    EXPECT_EQ(m_log.Count(L"Host ip : "), 30u);  // the look-up runs again in every conversation
}

TEST_F(ServerAddressTest, FailingNameFallsBackToTheAddressPage)
{
    StartServer();
    const std::string a = m_server->Address();
    const struct { const char* what; std::string body; int status; std::wstring fetchLine; } cases[] = {
        {"bare address", a, 200, L"0-" + W(a)},
        {"carriage return and line feed dropped and trimmed", a + "\r\n", 200, L"0-" + W(a) + L"\n"},
        {"white space around it", " \t" + a + "  \n\n", 200, L"0- \t" + W(a) + L"  \n\n"},
        {"status not looked at", a, 500, L"0-" + W(a)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        m_log.Clear();
        m_server->SetPageBody(c.body);
        m_server->SetPageStatus(c.status);
        ScriptLookUp(false, 11001);
        RecordPtr r = RequestFor(TAG_CARD, 1);
        EXPECT_EQ(ExchangeWithServer(*r, m_seams), 0);
        auto lines = Lines();
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(lines[0], c.fetchLine);
        EXPECT_EQ(lines[1], L"Host ip : " + W(a));
        EXPECT_EQ(lines[2], L"Recv start");
    }
}

TEST_F(ServerAddressTest, OverLongPageIsRefused)
{
    StartServer();
    const std::string a = m_server->Address();
    // Of a body longer than the 4096 bytes kept, the start could pass for an address.
    const std::string beyondKept = a + std::string(5000, ' ') + "9";
    const struct { const char* what; std::string body; std::string logged; size_t length; } cases[] = {
        {"more than an address", a + " is where the server is today", a + " is where the server is today",
         a.size() + 29},
        {"beyond the part kept", beyondKept, beyondKept.substr(0, 4096), beyondKept.size()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        m_log.Clear();
        m_server->SetPageBody(c.body);
        ScriptLookUp(false, 11001);
        RecordPtr r = RequestFor(TAG_CARD, 1);
        EXPECT_EQ(ExchangeWithServer(*r, m_seams), SERVER_RETRY);
        auto lines = Lines();
        ASSERT_GE(lines.size(), 4u);
        EXPECT_EQ(lines[0], L"0-" + W(c.logged));
        EXPECT_EQ(lines[1], L"Address page text too long: " + std::to_wstring(c.length) + L" bytes");
        EXPECT_EQ(lines[2], L"Host ip : ");
        EXPECT_EQ(m_server->ProtocolRequests().size(), 0u);
    }
}

TEST_F(ServerAddressTest, UnreachablePageDecidesByTheResolverCode)
{
    StartServer();
    SetEnv("VANTORELLE_ADDRESS_PAGE", DeadPage());
    const struct { int code; int result; std::wstring line; int conversations; } cases[] = {
        {11001, 11001, L"Host not found", 1},
        {11004, -1, L"No data record found", 1},
        {10093, -1, L"Function failed with error: 10093", 1},
        {0, SERVER_RETRY, L"Host ip : ", 30},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        m_log.Clear();
        m_lookups = 0;
        ScriptLookUp(false, c.code);
        RecordPtr r = RequestFor(TAG_PLAYBACK, 1);
        FillSentinelReply(*r);
        EXPECT_EQ(ExchangeWithServer(*r, m_seams), c.result);
        ExpectSentinelReply(*r);
        auto lines = Lines();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[0], L"7-");
        EXPECT_EQ(lines[1], c.line);
        EXPECT_EQ(m_lookups, c.conversations);
        EXPECT_EQ(m_log.Count(L"re 1"), c.conversations > 1 ? 1u : 0u);
    }
    EXPECT_EQ(m_server->ProtocolRequests().size(), 0u);
}

TEST_F(ServerAddressTest, EndpointsComeFromTheEnvironmentOrTheBuild)
{
    SetEnv("VANTORELLE_FIXED_SERVER", "127.1.2.3");
    SetEnv("VANTORELLE_SERVER_NAME", "update.example.invalid");
    SetEnv("VANTORELLE_ADDRESS_PAGE", "http://127.1.2.3:81/forum/getip.php");
    EXPECT_EQ(FixedServerAddress(), "127.1.2.3");
    EXPECT_EQ(ServerDnsName(), "update.example.invalid");
    EXPECT_EQ(AddressPageUrl(), "http://127.1.2.3:81/forum/getip.php");
    for (const char* name : {"VANTORELLE_FIXED_SERVER", "VANTORELLE_SERVER_NAME", "VANTORELLE_ADDRESS_PAGE"})
        SetEnv(name, "");
    EXPECT_EQ(FixedServerAddress(), VU_TEST_FIXED_SERVER);
    EXPECT_EQ(ServerDnsName(), VU_TEST_SERVER_NAME);
    EXPECT_EQ(AddressPageUrl(), VU_TEST_ADDRESS_PAGE);
}

TEST_F(ServerAddressTest, FetchPageTextReadsTheBodyWithoutCarriageReturns)
{
    StartServer();
    const struct { const char* what; std::string url; std::string body; int result; std::string text; uint64_t length; } cases[] = {
        {"lines", m_server->PageUrl(), "a\r\nb\r\n", 0, "a\nb\n", 4},
        {"empty body", m_server->PageUrl(), "", 0, "", 0},
        {"other page", "http://" + m_server->Address() + ":" + std::to_string(m_server->PagePort()) + "/other", "x",
         0, "not found\n", 10},
        // Read to its end, its start kept: too long an address is the caller's to refuse.
        {"longer than a page can be", m_server->PageUrl(), std::string(5000, 'x') + "\r\n", 0, std::string(4096, 'x'),
         5001},
        {"nobody there", DeadPage(), "", 7, "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        m_server->SetPageBody(c.body);
        std::string text = "left over";
        uint64_t length = 12345;
        EXPECT_EQ(FetchPageText(c.url, text, &length), c.result);
        EXPECT_EQ(text, c.text);
        EXPECT_EQ(length, c.length);
    }
}

} // namespace
} // namespace vu::test
