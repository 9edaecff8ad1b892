// A small virtual FTDI link server for the client's tests: it answers each
// request through a script and records every request it received, with the
// connection it came on.
#pragma once

#include "platform/Socket.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace vu::test {

struct LinkRequest {
    int connection;            // 0 for the first connection accepted, and so on
    uint8_t op;
    std::vector<uint8_t> payload;
    std::vector<uint8_t> raw;  // the request's bytes as they came
};

struct LinkAnswer {
    uint32_t status = 0;
    std::vector<uint8_t> payload;
    bool hangUp = false;       // close the connection instead of answering
};

class ScriptedLinkServer {
public:
    using Script = std::function<LinkAnswer(const LinkRequest&)>;

    explicit ScriptedLinkServer(Script script);
    ~ScriptedLinkServer();
    ScriptedLinkServer(const ScriptedLinkServer&) = delete;
    ScriptedLinkServer& operator=(const ScriptedLinkServer&) = delete;

    std::string Address() const;       // "127.0.0.1:PORT"
    int Accepted() const { return m_accepted.load(); }
    std::vector<LinkRequest> Requests();
    void Stop();                       // closes the listener and every connection

private:
    void AcceptLoop();
    void Serve(net::SocketHandle s, int index);

    Script m_script;
    net::SocketHandle m_listener = net::INVALID_SOCKET_HANDLE;
    uint16_t m_port = 0;
    std::atomic<int> m_accepted{0};
    std::atomic<bool> m_stopping{false};
    std::mutex m_lock;
    std::vector<LinkRequest> m_requests;
    std::vector<net::SocketHandle> m_sockets;
    std::vector<std::thread> m_threads;
    std::thread m_acceptThread;
};

// A port on 127.0.0.1 where nothing listens (bound once, then released).
uint16_t UnusedLoopbackPort();

} // namespace vu::test
