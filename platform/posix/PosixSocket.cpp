#include "platform/Socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace vu::net {

// SO_RCVTIMEO runs out as a receive that would block.
const int NET_E_TIMED_OUT = EAGAIN;
const int NET_E_REFUSED = ECONNREFUSED;
const bool NET_RESET_REPORTED = true;

int Startup() { return 0; }
void Cleanup() {}
int LastError() { return errno; }

SocketHandle TcpSocket()
{
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    return s < 0 ? INVALID_SOCKET_HANDLE : SocketHandle(s);
}

void CloseSocket(SocketHandle s)
{
    if (s != INVALID_SOCKET_HANDLE)
        ::close(int(s));
}

int Connect(SocketHandle s, uint32_t addrNet, uint16_t port)
{
    // An empty or malformed address text becomes 255.255.255.255 or 0.0.0.0:
    // refuse it here rather than send anything to a broadcast address.
    if (addrNet == 0xFFFFFFFFu || addrNet == 0) {
        errno = EADDRNOTAVAIL;
        return -1;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addrNet;
    sa.sin_port = htons(port);
    int r;
    do {
        r = ::connect(int(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? -1 : 0;
}

int Send(SocketHandle s, const void* data, int len)
{
    ssize_t r;
    do {
        r = ::send(int(s), data, size_t(len), MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? -1 : int(r);
}

int ShutdownSend(SocketHandle s) { return ::shutdown(int(s), SHUT_WR) < 0 ? -1 : 0; }

int SetRecvTimeout(SocketHandle s, uint32_t ms)
{
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return ::setsockopt(int(s), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) < 0 ? -1 : 0;
}

int Recv(SocketHandle s, void* buf, int len)
{
    ssize_t r;
    do {
        r = ::recv(int(s), buf, size_t(len), 0);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? -1 : int(r);
}

int WaitReadable(SocketHandle s, uint64_t timeoutUs)
{
    pollfd p{};
    p.fd = int(s);
    p.events = POLLIN;
    timespec t{};
    t.tv_sec = time_t(timeoutUs / 1'000'000);
    t.tv_nsec = long(timeoutUs % 1'000'000) * 1000;
    int r = ::ppoll(&p, 1, &t, nullptr);
    if (r < 0)
        return errno == EINTR ? 0 : -1;
    return r > 0 ? 1 : 0;
}

int ResolveHostByName(const std::string& name, std::vector<uint32_t>* addrsNet, bool* isIpv4)
{
    addrsNet->clear();
    *isIpv4 = false;
    hostent entry{};
    hostent* result = nullptr;
    char buf[8192];
    int herr = 0;
    gethostbyname_r(name.c_str(), &entry, buf, sizeof buf, &result, &herr);
    if (!result) {
        switch (herr) {
        case HOST_NOT_FOUND: return RESOLVE_HOST_NOT_FOUND;
        case TRY_AGAIN: return RESOLVE_TRY_AGAIN;
        case NO_RECOVERY: return RESOLVE_NO_RECOVERY;
        case NO_DATA: return RESOLVE_NO_DATA;
        default: return herr ? herr : RESOLVE_NO_RECOVERY;
        }
    }
    *isIpv4 = result->h_addrtype == AF_INET;
    if (*isIpv4) {
        for (char** p = result->h_addr_list; p && *p; ++p) {
            uint32_t a;
            __builtin_memcpy(&a, *p, 4);
            addrsNet->push_back(a);
        }
    }
    return 0;
}

uint32_t InetAddr(const std::string& text) { return ::inet_addr(text.c_str()); }

std::string InetNtoa(uint32_t addrNet)
{
    in_addr a{};
    a.s_addr = addrNet;
    char buf[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

SocketHandle TcpListen(uint32_t addrNet, uint16_t port, uint16_t* boundPort)
{
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (s < 0)
        return INVALID_SOCKET_HANDLE;
    int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addrNet;
    sa.sin_port = htons(port);
    if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0 || ::listen(s, 64) < 0) {
        ::close(s);
        return INVALID_SOCKET_HANDLE;
    }
    socklen_t len = sizeof sa;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
    if (boundPort)
        *boundPort = ntohs(sa.sin_port);
    return SocketHandle(s);
}

SocketHandle Accept(SocketHandle listener)
{
    int c;
    do {
        c = ::accept4(int(listener), nullptr, nullptr, SOCK_CLOEXEC);
    } while (c < 0 && errno == EINTR);
    return c < 0 ? INVALID_SOCKET_HANDLE : SocketHandle(c);
}

void SetAbortiveClose(SocketHandle s)
{
    linger l{};
    l.l_onoff = 1;
    l.l_linger = 0;
    ::setsockopt(int(s), SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

void SetNoDelay(SocketHandle s)
{
    int one = 1;
    ::setsockopt(int(s), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool WakeBlockedSocket(SocketHandle s)
{
    ::shutdown(int(s), SHUT_RDWR);
    return false;
}

} // namespace vu::net
