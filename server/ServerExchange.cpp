#include "server/ServerExchange.h"

#include "log/Format.h"
#include "log/Log.h"
#include "platform/LittleEndian.h"
#include "platform/Socket.h"
#include "server/ServerAddress.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace vu {

namespace {

constexpr int MAX_CONVERSATIONS = 30;
constexpr int32_t MIN_REPLY_BYTES = 13;
// Each receive asks for up to this much; the chunk lives on the heap, not on the stack.
constexpr int32_t RECEIVE_CHUNK_BYTES = 1 << 20;

// Closes the conversation's socket and releases the socket library on every exit.
class CConversationSocket {
public:
    CConversationSocket() = default;
    ~CConversationSocket()
    {
        if (m_hSocket != net::INVALID_SOCKET_HANDLE)
            net::CloseSocket(m_hSocket);
        if (m_bStarted)
            net::Cleanup();
    }
    CConversationSocket(const CConversationSocket&) = delete;
    CConversationSocket& operator=(const CConversationSocket&) = delete;

    bool m_bStarted = false;
    net::SocketHandle m_hSocket = net::INVALID_SOCKET_HANDLE;
};

std::vector<uint8_t> BuildRequestPacket(const ExchangeRecord& record)
{
    int n = std::clamp(record.requestCount, 0, int32_t(EXCHANGE_MAX_FIELDS));
    int32_t lengths[EXCHANGE_MAX_FIELDS] = {};
    uint32_t total = 13 + 4 * uint32_t(n);
    for (int i = 0; i < n; ++i) {
        lengths[i] = record.requestData ? std::clamp(record.requestLength[i], 0, EXCHANGE_FIELD_BYTES) : 0;
        total += uint32_t(lengths[i]);
    }
    std::vector<uint8_t> packet(total, 0);
    PutLe32(&packet[0], total);
    PutLe32(&packet[4], 0);
    PutLe32(&packet[8], uint32_t(n));
    size_t at = 12;
    for (int i = 0; i < n; ++i, at += 4)
        PutLe32(&packet[at], uint32_t(lengths[i]));
    for (int i = 0; i < n; ++i) {
        if (lengths[i] > 0)
            std::memcpy(&packet[at], record.requestData[i], size_t(lengths[i]));
        at += size_t(lengths[i]);
    }
    return packet; // the last byte stays 0
}

// Grows the reply by doubling, never reserving past the limit.
void Append(std::vector<uint8_t>& reply, const uint8_t* bytes, size_t n)
{
    size_t need = reply.size() + n;
    if (need > reply.capacity())
        reply.reserve(std::min(std::max(need, reply.capacity() * 2), size_t(SERVER_REPLY_MAX_BYTES)));
    reply.insert(reply.end(), bytes, bytes + n);
}

// Checks a whole reply against the record's capacities before anything is
// copied, so a broken reply leaves the record as it was. 0 or SERVER_BAD_REPLY.
int CheckReply(const std::vector<uint8_t>& reply)
{
    int32_t held = int32_t(reply.size());
    if (held < MIN_REPLY_BYTES) {
        WriteLog(Format(L"=SRE001=%d", held));
        return SERVER_BAD_REPLY;
    }
    uint32_t declared = GetLe32(&reply[0]);
    if (declared != uint32_t(held)) {
        WriteLog(Format(L"=SRE002=%u,%d", declared, held));
        return SERVER_BAD_REPLY;
    }
    uint32_t m = GetLe32(&reply[4]);
    if (m > uint32_t(EXCHANGE_MAX_REPLIES)) {
        WriteLog(Format(L"=SRE004=%u records, over %d", m, EXCHANGE_MAX_REPLIES));
        return SERVER_BAD_REPLY;
    }
    uint64_t at = 8 + 4 * uint64_t(m);
    if (at > uint64_t(held)) {
        WriteLog(Format(L"=SRE006=lengths of %u records reach past the %d bytes received", m, held));
        return SERVER_BAD_REPLY;
    }
    for (uint32_t i = 0; i < m; ++i) {
        uint32_t length = GetLe32(&reply[8 + 4 * size_t(i)]);
        if (length > uint32_t(EXCHANGE_REPLY_BYTES)) {
            WriteLog(Format(L"=SRE005=record %u of %u bytes, over %d", i, length, EXCHANGE_REPLY_BYTES));
            return SERVER_BAD_REPLY;
        }
        at += length;
        if (at > uint64_t(held)) {
            WriteLog(Format(L"=SRE006=record %u reaches past the %d bytes received", i, held));
            return SERVER_BAD_REPLY;
        }
    }
    return 0;
}

void UnpackReply(const std::vector<uint8_t>& reply, ExchangeRecord& record)
{
    int32_t m = int32_t(GetLe32(&reply[4]));
    size_t at = 8 + 4 * size_t(m);
    for (int32_t i = 0; i < m; ++i) {
        int32_t length = int32_t(GetLe32(&reply[8 + 4 * size_t(i)]));
        record.replyLength[i] = length;
        std::memset(record.replyData[i], 0, EXCHANGE_REPLY_BYTES);
        if (length > 0)
            std::memcpy(record.replyData[i], &reply[at], size_t(length));
        at += size_t(length);
    }
    record.replyCount = m;
}

} // namespace

int RunServerConversation(const ExchangeRecord& record, const uint8_t* packet, int32_t packetLength,
                          std::vector<uint8_t>& reply, int32_t& received, const ServerSeams& seams)
{
    CConversationSocket conv;
    int startup = net::Startup();
    if (startup != 0) {
        WriteLog(Format(L"WSAStartup failed with error: %d", startup));
        return -1;
    }
    conv.m_bStarted = true;

    conv.m_hSocket = net::TcpSocket();
    if (conv.m_hSocket == net::INVALID_SOCKET_HANDLE) {
        WriteLog(Format(L"Socket failed with error: %ld", long(net::LastError())));
        return -1;
    }

    uint32_t addrNet = 0;
    int resolved = ResolveServerAddress(record, &addrNet, seams);
    if (resolved != 0)
        return resolved;

    if (net::Connect(conv.m_hSocket, addrNet, uint16_t(record.port & 0xFFFF)) != 0) {
        WriteLog(Format(L"Socket connect failed with error: %d", net::LastError()));
        return SERVER_RETRY;
    }

    // A send may take only part of the packet: go on with the rest.
    for (int32_t sent = 0; sent < packetLength;) {
        int chunk = packetLength - sent;
        if (seams.sendChunk > 0)
            chunk = std::min(chunk, seams.sendChunk);
        int n = net::Send(conv.m_hSocket, packet + sent, chunk);
        if (n <= 0) {
            WriteLog(Format(L"Socket send failed with error: %ld", long(net::LastError())));
            return SERVER_RETRY;
        }
        sent += n;
    }

    if (net::ShutdownSend(conv.m_hSocket) != 0) {
        WriteLog(Format(L"Socket shutdown failed with error: %ld", long(net::LastError())));
        return SERVER_RETRY;
    }

    net::SetRecvTimeout(conv.m_hSocket, seams.receiveTimeoutMs);

    WriteLog(L"Recv start");
    received = 0;
    int result = 0;
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[RECEIVE_CHUNK_BYTES]);
    for (;;) {
        // One byte more than the limit allows shows that the reply is too long.
        size_t room = size_t(SERVER_REPLY_MAX_BYTES) + 1 - std::min(reply.size(), size_t(SERVER_REPLY_MAX_BYTES));
        int want = int(std::min(room, size_t(RECEIVE_CHUNK_BYTES)));
        int n = net::Recv(conv.m_hSocket, chunk.get(), want);
        if (n > 0) {
            WriteLog(Format(L"Bytes received: %d", n));
            if (reply.size() + size_t(n) > size_t(SERVER_REPLY_MAX_BYTES)) {
                WriteLog(Format(L"=SRE003=reply over %d bytes", SERVER_REPLY_MAX_BYTES));
                return SERVER_BAD_REPLY;
            }
            Append(reply, chunk.get(), size_t(n));
            received += n;
        } else if (n == 0) {
            WriteLog(L"Connection closed");
        } else {
            WriteLog(Format(L"Recv failed with error: %d", net::LastError()));
            result = SERVER_RETRY;
        }
        WriteLog(Format(L"Total length: %d", received));
        if (n <= 0)
            break;
    }
    return result;
}

namespace {

int Exchange(ExchangeRecord& record, const ServerSeams& seams)
{
    std::vector<uint8_t> reply;
    std::vector<uint8_t> packet = BuildRequestPacket(record);
    int32_t packetLength = int32_t(packet.size());

    int32_t received = 0;
    int result = RunServerConversation(record, packet.data(), packetLength, reply, received, seams);
    for (int r = 1; r < MAX_CONVERSATIONS; ++r) {
        if (result != SERVER_RETRY)
            break;
        WriteLog(Format(L"re %d", r));
        PutLe32(&packet[4], uint32_t(reply.size()));
        received = 0;
        result = RunServerConversation(record, packet.data(), packetLength, reply, received, seams);
    }
    if (result != 0)
        return result;

    if (CheckReply(reply) != 0)
        return SERVER_BAD_REPLY;
    if (!record.replyData)
        return SERVER_BAD_REPLY;
    UnpackReply(reply, record);
    return 0;
}

} // namespace

int ExchangeWithServer(ExchangeRecord& record, const ServerSeams& seams)
{
    try {
        return Exchange(record, seams);
    } catch (const std::bad_alloc&) {
        // The reply side is written only after every check, so it is still untouched here.
        WriteLog(L"Out of memory for the server reply");
        return -1;
    }
}

} // namespace vu
