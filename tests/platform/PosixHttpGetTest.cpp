// The Linux fetch's bounds. Linux only: WinINet under Wine neither keeps to
// a receive limit set on its session nor caps a redirect loop, so these
// cannot be checked against it here.
#include "tests/platform/ScriptedPageServer.h"

#include <gtest/gtest.h>

namespace vu::test {
namespace {

using namespace vu::net;

// A redirect loop ends at the cap: ten redirects followed, the eleventh
// answer fails the fetch.
TEST(HttpGet, AnEndlessRedirectFailsAtTheCap)
{
    ScriptedPageServer server([](const std::string&) { return Redirect(302, "/forum/getip.php"); });
    ASSERT_TRUE(server.Started());
    Fetched f = Fetch(server.Url("/forum/getip.php"));
    EXPECT_EQ(f.result, HTTP_GET_FAILED);
    EXPECT_EQ(server.Paths().size(), 11u);
}

// The receive limit bounds each silence, as WinINet's does, not the whole
// fetch. A server that takes the connection and then falls silent ends the
// fetch after the limit, not never: before the answer, in the middle of the
// body, or without taking the request off the connection at all. A body
// that trickles in, never silent for long, is read to its end.
TEST(HttpGet, TheReceiveLimitBoundsEachSilence)
{
    ScriptedPageServer server([](const std::string& path) {
        if (path == "/silent")
            return Reply{{}, 0, true};
        if (path == "/half")
            return Reply{{"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n127.0."}, 0, true};
        Reply trickle{{"HTTP/1.1 200 OK\r\nContent-Length: 16\r\n\r\n"}, 100};
        for (int i = 0; i < 16; ++i)
            trickle.pieces.push_back(std::string(1, char('a' + i)));
        return trickle;
    });
    ASSERT_TRUE(server.Started());
    uint16_t port = 0;
    SocketHandle neverAccepts = TcpListen(InetAddr("127.0.0.1"), 0, &port);
    ASSERT_NE(neverAccepts, INVALID_SOCKET_HANDLE);
    const struct { const char* what; std::string url; std::string kept; } silences[] = {
        {"no answer", server.Url("/silent"), ""},
        {"half a body", server.Url("/half"), "127.0."},
        {"connection never accepted", "http://127.0.0.1:" + std::to_string(port) + "/forum/getip.php", ""},
    };
    for (const auto& c : silences) {
        SCOPED_TRACE(c.what);
        Fetched f = Fetch(c.url);
        EXPECT_EQ(f.result, HTTP_GET_FAILED);
        EXPECT_EQ(f.body, c.kept);
        EXPECT_GE(f.took.count(), 900);
        // This limit ended it, not another one: generous for a loaded machine.
        EXPECT_LT(f.took.count(), 15000);
    }
    CloseSocket(neverAccepts);

    Fetched f = Fetch(server.Url("/trickle"));
    EXPECT_EQ(f.result, HTTP_GET_OK);
    EXPECT_EQ(f.body, "abcdefghijklmnop");
    EXPECT_GT(f.took.count(), 1000) << "the trickle should outlast one receive limit";
}

} // namespace
} // namespace vu::test
