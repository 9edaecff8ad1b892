// Thin TCP socket layer with the Winsock calls' shape, so callers can log
// the platform's own error numbers. One implementation per platform.
#pragma once

#include <cstddef>
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
// Waits up to timeoutUs for something to receive: 1 when bytes, the end of
// the stream or an error wait on the socket, 0 when the time ran out, -1 on failure.
int WaitReadable(SocketHandle s, uint64_t timeoutUs);

// Sends all n bytes, call after call; returns how many were taken before a
// send failed (n when all were).
size_t SendAll(SocketHandle s, const void* data, size_t n);
// Receives exactly n bytes; false when the connection ended or failed first.
bool RecvAll(SocketHandle s, void* buf, size_t n);

// The platform's error numbers (LastError) for a receive time-out and a
// refused connection.
extern const int NET_E_TIMED_OUT;
extern const int NET_E_REFUSED;
// A peer's abortive close (SetAbortiveClose) shows as a failed receive.
// Wine, where the Windows builds are tested, ends it as a clean close.
extern const bool NET_RESET_REPORTED;

// Wakes a thread blocked in Accept or Recv on s. Linux shuts the socket down
// and the caller still closes it (false); Windows can only close it (true).
bool WakeBlockedSocket(SocketHandle s);

// gethostbyname: 0 and the entry's IPv4 addresses in order (network byte
// order), with isIpv4 false for an entry of another family; or a resolver
// error code (RESOLVE_*, or another platform code).
int ResolveHostByName(const std::string& name, std::vector<uint32_t>* addrsNet, bool* isIpv4);

uint32_t InetAddr(const std::string& text);   // inet_addr: 0xFFFFFFFF when malformed
std::string InetNtoa(uint32_t addrNet);

enum : int {
    HOSTPORT_OK = 0,
    HOSTPORT_E_SHAPE = 1, // no colon, or nothing before or after the last one
    HOSTPORT_E_PORT = 2,  // the port is not a number from 0 to 65535
};
// "HOST:PORT" split at its last colon into the host text and the port (up
// to five digits, 0 included: callers that need a real port refuse it).
int SplitHostPort(const std::string& text, std::string* host, uint16_t* port);

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
