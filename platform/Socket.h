// Thin TCP socket layer with the Winsock calls' shape, so callers can log
// the platform's own error numbers. One implementation per platform.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vu::net {

using SocketHandle = intptr_t;
constexpr SocketHandle INVALID_SOCKET_HANDLE = -1;

// Resolver error codes in Winsock numbering (POSIX h_errno is mapped to them).
constexpr int RESOLVE_HOST_NOT_FOUND = 11001;
constexpr int RESOLVE_TRY_AGAIN = 11002;
constexpr int RESOLVE_NO_RECOVERY = 11003;
constexpr int RESOLVE_NO_DATA = 11004;

int Startup();          // WSAStartup(2.2)'s result; 0 where there is nothing to start
void Cleanup();         // WSACleanup
int LastError();        // WSAGetLastError, or errno

SocketHandle TcpSocket();                       // IPv4, stream, TCP
void CloseSocket(SocketHandle s);

// Connects to an IPv4 address in network byte order. 0, or -1 (see LastError);
// 0.0.0.0 and 255.255.255.255 are refused without a system call.
int Connect(SocketHandle s, uint32_t addrNet, uint16_t port);
int Send(SocketHandle s, const void* data, int len);        // bytes taken, or -1
int ShutdownSend(SocketHandle s);                           // 0 or -1
int SetRecvTimeout(SocketHandle s, uint32_t ms);            // 0 or -1
int Recv(SocketHandle s, void* buf, int len);               // >0 bytes, 0 closed, -1 error

// gethostbyname: 0 and the entry's IPv4 addresses in order (network byte
// order), with isIpv4 false for an entry of another family; or a resolver
// error code (RESOLVE_*, or another platform code).
int ResolveHostByName(const std::string& name, std::vector<uint32_t>* addrsNet, bool* isIpv4);

uint32_t InetAddr(const std::string& text);   // inet_addr: 0xFFFFFFFF when malformed
std::string InetNtoa(uint32_t addrNet);

// Listening side, for the simulators and test servers. addrNet in network
// byte order; port 0 picks a free port, reported through boundPort.
SocketHandle TcpListen(uint32_t addrNet, uint16_t port, uint16_t* boundPort);
SocketHandle Accept(SocketHandle listener);
// Makes the next close reset the connection (SO_LINGER 0), as a dropped
// network link looks to the peer.
void SetAbortiveClose(SocketHandle s);
// Sets TCP_NODELAY (small request/answer traffic).
void SetNoDelay(SocketHandle s);

} // namespace vu::net
