// A loopback HTTP server for the page fetch's tests, answering each request
// as its script says, and the fetch as those tests call it.
#pragma once

#include "platform/HttpGet.h"
#include "platform/Socket.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vu::test {

// What the server sends on one connection: the pieces in order, pauseMs
// apart, then it closes, or keeps the connection open and silent until the
// server stops.
struct Reply {
    std::vector<std::string> pieces;
    uint32_t pauseMs = 0;
    bool hold = false;
};

Reply Response(int status, const std::string& headers, const std::string& body);
Reply Redirect(int status, const std::string& location);

// One connection at a time on a free port of 127.0.0.1, each answered with
// script(the request line's path).
class ScriptedPageServer {
public:
    explicit ScriptedPageServer(std::function<Reply(const std::string& path)> script);
    ~ScriptedPageServer();
    ScriptedPageServer(const ScriptedPageServer&) = delete;
    ScriptedPageServer& operator=(const ScriptedPageServer&) = delete;

    bool Started() const { return m_thread.joinable(); }
    std::string Url(const std::string& path) const;
    std::vector<std::string> Paths() const; // the paths asked for, in order

private:
    void Serve();
    void Answer(net::SocketHandle s);

    std::function<Reply(const std::string&)> m_script;
    net::SocketHandle m_listener = net::INVALID_SOCKET_HANDLE;
    uint16_t m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_bStopping{false};
    std::vector<net::SocketHandle> m_held;
    mutable std::mutex m_lock;
    std::vector<std::string> m_paths;
};

// The part of a body the tests keep, and limits with a short receive limit,
// far from the connect limit and from the default ones.
constexpr size_t KEPT = 4096;
constexpr net::HttpLimits SHORT_LIMITS{20000, 1000};

struct Fetched {
    int result;
    std::string body;
    uint64_t bodyBytes;
    std::chrono::milliseconds took;
};

Fetched Fetch(const std::string& url, const net::HttpLimits* limits = &SHORT_LIMITS);

} // namespace vu::test
