// The page fetch against a loopback HTTP server that answers as scripted:
// redirects and long bodies. The same cases hold for libcurl on Linux and
// for WinINet (under Wine).
#include "tests/platform/ScriptedPageServer.h"

#include <gtest/gtest.h>

namespace vu::test {
namespace {

using namespace vu::net;

TEST(HttpGet, FollowsRedirectsToTheBody)
{
    ScriptedPageServer server([](const std::string& path) {
        if (path.rfind("/to/", 0) == 0)
            return Redirect(std::stoi(path.substr(4)), "/forum/getip.php");
        if (path == "/chain/1")
            return Redirect(302, "/chain/2");
        if (path == "/chain/2")
            return Redirect(301, "/chain/3");
        if (path == "/chain/3")
            return Redirect(307, "/forum/getip.php");
        return Response(200, "", "127.0.0.5\r\n");
    });
    ASSERT_TRUE(server.Started());
    const struct { const char* path; size_t requests; } cases[] = {
        {"/to/301", 2}, {"/to/302", 2}, {"/to/303", 2}, {"/to/307", 2}, {"/chain/1", 4},
    };
    size_t before = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        Fetched f = Fetch(server.Url(c.path));
        EXPECT_EQ(f.result, HTTP_GET_OK);
        // The redirect's own body is not part of the page.
        EXPECT_EQ(f.body, "127.0.0.5\n");
        EXPECT_EQ(f.bodyBytes, 10u);
        auto paths = server.Paths();
        ASSERT_EQ(paths.size() - before, c.requests);
        EXPECT_EQ(paths.back(), "/forum/getip.php");
        before = paths.size();
    }
}

TEST(HttpGet, ReadsABodyOfAnyLengthAndKeepsItsStart)
{
    std::string big;
    for (int i = 0; big.size() < 3'000'000; ++i)
        big += std::to_string(i) + "\r\n";
    std::string bigWithoutCr;
    for (char c : big)
        if (c != '\r')
            bigWithoutCr.push_back(c);
    const std::string longer = std::string(KEPT, 'x') + "y";
    ScriptedPageServer server([&](const std::string& path) {
        if (path == "/big")
            return Response(200, "", big);
        if (path == "/just-over")
            return Response(200, "", longer);
        if (path == "/just-fits")
            return Response(200, "", longer.substr(0, KEPT));
        // No length given: the body runs until the server closes.
        return Reply{{"HTTP/1.0 200 OK\r\n\r\n", big}, 50};
    });
    ASSERT_TRUE(server.Started());
    const struct { const char* path; std::string whole; } cases[] = {
        {"/big", bigWithoutCr},
        {"/until-closed", bigWithoutCr},
        {"/just-over", longer},
        {"/just-fits", longer.substr(0, KEPT)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        Fetched f = Fetch(server.Url(c.path));
        EXPECT_EQ(f.result, HTTP_GET_OK);
        EXPECT_EQ(f.bodyBytes, c.whole.size());
        EXPECT_EQ(f.body, c.whole.substr(0, KEPT));
    }
}

} // namespace
} // namespace vu::test
