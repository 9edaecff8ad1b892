#include "platform/Socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

namespace vu::net {

const int NET_E_TIMED_OUT = WSAETIMEDOUT;
const int NET_E_REFUSED = WSAECONNREFUSED;
const bool NET_RESET_REPORTED = false;

int Startup()
{
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data);
}

void Cleanup() { ::WSACleanup(); }
int LastError() { return ::WSAGetLastError(); }

SocketHandle TcpSocket()
{
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return s == INVALID_SOCKET ? INVALID_SOCKET_HANDLE : SocketHandle(s);
}

void CloseSocket(SocketHandle s)
{
    if (s != INVALID_SOCKET_HANDLE)
        ::closesocket(SOCKET(s));
}

int Connect(SocketHandle s, uint32_t addrNet, uint16_t port)
{
    // An empty or malformed address text becomes 255.255.255.255 or 0.0.0.0:
    // refuse it here rather than send anything to a broadcast address.
    if (addrNet == 0xFFFFFFFFu || addrNet == 0) {
        ::WSASetLastError(WSAEADDRNOTAVAIL);
        return -1;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addrNet;
    sa.sin_port = htons(port);
    return ::connect(SOCKET(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == SOCKET_ERROR ? -1 : 0;
}

int Send(SocketHandle s, const void* data, int len)
{
    int r = ::send(SOCKET(s), static_cast<const char*>(data), len, 0);
    return r == SOCKET_ERROR ? -1 : r;
}

int ShutdownSend(SocketHandle s) { return ::shutdown(SOCKET(s), SD_SEND) == SOCKET_ERROR ? -1 : 0; }

int SetRecvTimeout(SocketHandle s, uint32_t ms)
{
    DWORD v = ms;
    return ::setsockopt(SOCKET(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&v), sizeof v)
                   == SOCKET_ERROR
               ? -1
               : 0;
}

int WaitReadable(SocketHandle s, uint64_t timeoutUs)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(SOCKET(s), &readable);
    timeval t{};
    t.tv_sec = long(timeoutUs / 1'000'000);
    t.tv_usec = long(timeoutUs % 1'000'000);
    int r = ::select(0, &readable, nullptr, nullptr, &t);
    return r == SOCKET_ERROR ? -1 : (r > 0 ? 1 : 0);
}

int Recv(SocketHandle s, void* buf, int len)
{
    int r = ::recv(SOCKET(s), static_cast<char*>(buf), len, 0);
    return r == SOCKET_ERROR ? -1 : r;
}

int ResolveHostByName(const std::string& name, std::vector<uint32_t>* addrsNet, bool* isIpv4)
{
    addrsNet->clear();
    *isIpv4 = false;
    hostent* entry = ::gethostbyname(name.c_str());
    if (!entry)
        return ::WSAGetLastError();
    *isIpv4 = entry->h_addrtype == AF_INET;
    if (*isIpv4) {
        for (char** p = entry->h_addr_list; p && *p; ++p) {
            uint32_t a;
            std::memcpy(&a, *p, 4);
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
    const char* t = ::inet_ntoa(a);
    return t ? t : "";
}

SocketHandle TcpListen(uint32_t addrNet, uint16_t port, uint16_t* boundPort)
{
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return INVALID_SOCKET_HANDLE;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addrNet;
    sa.sin_port = htons(port);
    if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == SOCKET_ERROR
        || ::listen(s, 64) == SOCKET_ERROR) {
        ::closesocket(s);
        return INVALID_SOCKET_HANDLE;
    }
    int len = sizeof sa;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
    if (boundPort)
        *boundPort = ntohs(sa.sin_port);
    return SocketHandle(s);
}

SocketHandle Accept(SocketHandle listener)
{
    SOCKET c = ::accept(SOCKET(listener), nullptr, nullptr);
    return c == INVALID_SOCKET ? INVALID_SOCKET_HANDLE : SocketHandle(c);
}

void SetAbortiveClose(SocketHandle s)
{
    linger l{};
    l.l_onoff = 1;
    l.l_linger = 0;
    ::setsockopt(SOCKET(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
}

void SetNoDelay(SocketHandle s)
{
    BOOL one = TRUE;
    ::setsockopt(SOCKET(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

// A shutdown wakes neither accept nor recv here.
bool WakeBlockedSocket(SocketHandle s)
{
    ::closesocket(SOCKET(s));
    return true;
}

} // namespace vu::net
