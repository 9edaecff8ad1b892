#include "tests/platform/ScriptedPageServer.h"

namespace vu::test {

using namespace vu::net;

Reply Response(int status, const std::string& headers, const std::string& body)
{
    return {{"HTTP/1.1 " + std::to_string(status) + " Status\r\n" + headers + "Content-Length: "
             + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body}};
}

Reply Redirect(int status, const std::string& location)
{
    return Response(status, "Location: " + location + "\r\n", "moved to " + location + "\n");
}

ScriptedPageServer::ScriptedPageServer(std::function<Reply(const std::string& path)> script)
    : m_script(std::move(script))
{
    Startup();
    m_listener = TcpListen(InetAddr("127.0.0.1"), 0, &m_port);
    if (m_listener != INVALID_SOCKET_HANDLE)
        m_thread = std::thread([this] { Serve(); });
}

ScriptedPageServer::~ScriptedPageServer()
{
    m_bStopping = true;
    // A connection of our own wakes the accept.
    SocketHandle wake = TcpSocket();
    Connect(wake, InetAddr("127.0.0.1"), m_port);
    if (m_thread.joinable())
        m_thread.join();
    CloseSocket(wake);
    for (SocketHandle s : m_held)
        CloseSocket(s);
    if (m_listener != INVALID_SOCKET_HANDLE)
        CloseSocket(m_listener);
    Cleanup();
}

std::string ScriptedPageServer::Url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

std::vector<std::string> ScriptedPageServer::Paths() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_paths;
}

void ScriptedPageServer::Serve()
{
    for (;;) {
        SocketHandle s = Accept(m_listener);
        if (m_bStopping) {
            if (s != INVALID_SOCKET_HANDLE)
                CloseSocket(s);
            return;
        }
        if (s != INVALID_SOCKET_HANDLE)
            Answer(s);
    }
}

void ScriptedPageServer::Answer(SocketHandle s)
{
    std::string request;
    char buf[1024];
    while (request.find("\r\n\r\n") == std::string::npos) {
        int n = Recv(s, buf, sizeof buf);
        if (n <= 0)
            break;
        request.append(buf, size_t(n));
    }
    size_t p1 = request.find(' ');
    size_t p2 = p1 == std::string::npos ? p1 : request.find(' ', p1 + 1);
    std::string path = p2 == std::string::npos ? "" : request.substr(p1 + 1, p2 - p1 - 1);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_paths.push_back(path);
    }
    Reply reply = m_script(path);
    for (size_t i = 0; i < reply.pieces.size() && !m_bStopping; ++i) {
        if (i > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(reply.pauseMs));
        SendAll(s, reply.pieces[i].data(), reply.pieces[i].size());
    }
    if (reply.hold)
        m_held.push_back(s);
    else
        CloseSocket(s);
}

Fetched Fetch(const std::string& url, const HttpLimits* limits)
{
    Fetched f{-1, "left over", 12345, {}};
    auto start = std::chrono::steady_clock::now();
    f.result = HttpGet(url, &f.body, KEPT, &f.bodyBytes, limits);
    f.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    return f;
}

} // namespace vu::test
