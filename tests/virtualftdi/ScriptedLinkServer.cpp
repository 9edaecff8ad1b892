#include "tests/virtualftdi/ScriptedLinkServer.h"

#include "device/VirtualFtdiProtocol.h"
#include "platform/LittleEndian.h"

namespace vu::test {

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
    bool closed = net::WakeBlockedSocket(m_listener);
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
        socketClosed.push_back(net::WakeBlockedSocket(s));
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
        // Read as raw bytes, so the tests see exactly what the client sent.
        uint8_t header[VFTDI_REQUEST_HEADER];
        if (!net::RecvAll(s, header, sizeof header))
            break;
        LinkRequest rq;
        rq.connection = index;
        rq.op = header[0];
        rq.payload.resize(GetLe32(header + 1));
        if (!net::RecvAll(s, rq.payload.data(), rq.payload.size()))
            break;
        rq.raw.assign(header, header + sizeof header);
        rq.raw.insert(rq.raw.end(), rq.payload.begin(), rq.payload.end());
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_requests.push_back(rq);
        }
        LinkAnswer a = m_script(rq);
        if (a.hangUp)
            break;
        if (!vftdi::SendAnswer(s, a.status, a.payload.data(), uint32_t(a.payload.size())))
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
