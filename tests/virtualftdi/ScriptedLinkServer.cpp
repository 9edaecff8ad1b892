#include "tests/virtualftdi/ScriptedLinkServer.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace vu::test {

namespace {

// Wakes a thread blocked on the socket. Linux: shutdown wakes accept and
// recv, the socket is closed later. Windows: only closing it does.
bool WakeSocket(net::SocketHandle s)
{
#ifdef _WIN32
    ::closesocket(SOCKET(s));
    return true;
#else
    ::shutdown(int(s), SHUT_RDWR);
    return false;
#endif
}

bool RecvAll(net::SocketHandle s, uint8_t* p, size_t n)
{
    while (n > 0) {
        int r = net::Recv(s, p, int(n));
        if (r <= 0)
            return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

uint32_t GetU32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

void PutU32(std::vector<uint8_t>& v, uint32_t x)
{
    for (int i = 0; i < 4; ++i)
        v.push_back(uint8_t(x >> (8 * i)));
}

} // namespace

ScriptedLinkServer::ScriptedLinkServer(Script script) : m_script(std::move(script))
{
    net::Startup();
    m_listener = net::TcpListen(net::InetAddr("127.0.0.1"), 0, &m_port);
    m_acceptThread = std::thread([this] { AcceptLoop(); });
}

ScriptedLinkServer::~ScriptedLinkServer()
{
    Stop();
    net::Cleanup();
}

std::string ScriptedLinkServer::Address() const { return "127.0.0.1:" + std::to_string(m_port); }

std::vector<LinkRequest> ScriptedLinkServer::Requests()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_requests;
}

void ScriptedLinkServer::Stop()
{
    if (m_stopping.exchange(true))
        return;
    // shutdown wakes the blocked accept and receives; the sockets close after the joins.
    bool closed = WakeSocket(m_listener);
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    if (!closed)
        net::CloseSocket(m_listener);
    std::vector<net::SocketHandle> sockets;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        sockets = m_sockets;
    }
    std::vector<bool> socketClosed;
    for (net::SocketHandle s : sockets)
        socketClosed.push_back(WakeSocket(s));
    for (std::thread& t : m_threads)
        t.join();
    for (size_t i = 0; i < sockets.size(); ++i)
        if (!socketClosed[i])
            net::CloseSocket(sockets[i]);
}

void ScriptedLinkServer::AcceptLoop()
{
    for (;;) {
        net::SocketHandle s = net::Accept(m_listener);
        if (s == net::INVALID_SOCKET_HANDLE || m_stopping) {
            net::CloseSocket(s);
            return;
        }
        std::lock_guard<std::mutex> lock(m_lock);
        int index = m_accepted++;
        m_sockets.push_back(s);
        m_threads.emplace_back([this, s, index] { Serve(s, index); });
    }
}

void ScriptedLinkServer::Serve(net::SocketHandle s, int index)
{
    for (;;) {
        uint8_t header[5];
        if (!RecvAll(s, header, sizeof header))
            break;
        LinkRequest rq;
        rq.connection = index;
        rq.op = header[0];
        rq.payload.resize(GetU32(header + 1));
        if (!RecvAll(s, rq.payload.data(), rq.payload.size()))
            break;
        rq.raw.assign(header, header + 5);
        rq.raw.insert(rq.raw.end(), rq.payload.begin(), rq.payload.end());
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_requests.push_back(rq);
        }
        LinkAnswer a = m_script(rq);
        if (a.hangUp)
            break;
        std::vector<uint8_t> out;
        PutU32(out, a.status);
        PutU32(out, uint32_t(a.payload.size()));
        out.insert(out.end(), a.payload.begin(), a.payload.end());
        if (net::Send(s, out.data(), int(out.size())) != int(out.size()))
            break;
    }
    // A hang-up shows to the client at once; the socket is closed by Stop.
    net::ShutdownSend(s);
}

uint16_t UnusedLoopbackPort()
{
    net::Startup();
    uint16_t port = 0;
    net::SocketHandle s = net::TcpListen(net::InetAddr("127.0.0.1"), 0, &port);
    net::CloseSocket(s);
    net::Cleanup();
    return port;
}

} // namespace vu::test
