#include "device/VirtualFtdiClient.h"

#include "platform/LittleEndian.h"

#include <cstring>
#include <vector>

namespace vu {

namespace {

// The longest description a converter holds (D2XX: 64 bytes with its terminator).
constexpr size_t MAX_DESCRIPTION = 64;

} // namespace

bool ParseSimulatorAddress(const std::string& hostPort, uint32_t* addrNet, uint16_t* port)
{
    std::string host;
    uint16_t p = 0;
    if (net::SplitHostPort(hostPort, &host, &p) != net::HOSTPORT_OK || p == 0)
        return false;
    uint32_t a = net::InetAddr(host);
    if (a == 0xFFFFFFFFu) {
        std::vector<uint32_t> addrs;
        bool isIpv4 = false;
        if (net::ResolveHostByName(host, &addrs, &isIpv4) != 0 || !isIpv4 || addrs.empty())
            return false;
        a = addrs.front();
    }
    *addrNet = a;
    *port = p;
    return true;
}

CVirtualFtdiClient::CVirtualFtdiClient(const std::string& hostPort) : m_address(hostPort)
{
    m_bStarted = net::Startup() == 0;
}

CVirtualFtdiClient::~CVirtualFtdiClient()
{
    DropIdle();
    {
        std::lock_guard<std::mutex> lock(m_handleLock);
        for (Connection* c : m_handles) {
            net::CloseSocket(c->socket);
            delete c;
        }
        m_handles.clear();
    }
    if (m_bStarted)
        net::Cleanup();
}

bool CVirtualFtdiClient::ConnectIdle()
{
    if (m_idle.socket != net::INVALID_SOCKET_HANDLE)
        return true;
    uint32_t addr = 0;
    uint16_t port = 0;
    if (!ParseSimulatorAddress(m_address, &addr, &port))
        return false;
    net::SocketHandle s = net::TcpSocket();
    if (s == net::INVALID_SOCKET_HANDLE)
        return false;
    if (net::Connect(s, addr, port) != 0) {
        net::CloseSocket(s);
        return false;
    }
    net::SetNoDelay(s);
    net::SetRecvTimeout(s, VFTDI_ANSWER_TIMEOUT_MS);
    m_idle.socket = s;
    m_idle.broken = false;
    return true;
}

void CVirtualFtdiClient::DropIdle()
{
    net::CloseSocket(m_idle.socket);
    m_idle.socket = net::INVALID_SOCKET_HANDLE;
    m_idle.broken = false;
}

bool CVirtualFtdiClient::Transact(Connection& c, uint8_t op, const void* payload, uint32_t length, FT_STATUS* status,
                                  void* answer, uint32_t capacity, uint32_t* answerLength)
{
    *answerLength = 0;
    uint8_t header[VFTDI_ANSWER_HEADER];
    header[0] = op;
    PutLe32(header + 1, length);
    // Header and payload in one send where they fit, so a frame is one segment.
    uint8_t request[VFTDI_REQUEST_HEADER + 4096];
    bool sent;
    if (length <= sizeof request - VFTDI_REQUEST_HEADER) {
        std::memcpy(request, header, VFTDI_REQUEST_HEADER);
        if (length > 0)
            std::memcpy(request + VFTDI_REQUEST_HEADER, payload, length);
        sent = net::SendAll(c.socket, request, VFTDI_REQUEST_HEADER + length) == VFTDI_REQUEST_HEADER + length;
    } else {
        sent = net::SendAll(c.socket, header, VFTDI_REQUEST_HEADER) == VFTDI_REQUEST_HEADER &&
               net::SendAll(c.socket, payload, length) == length;
    }
    if (!sent || !net::RecvAll(c.socket, header, sizeof header)) {
        c.broken = true;
        return false;
    }
    uint32_t n = GetLe32(header + 4);
    // An answer longer than the call can take breaks the protocol: the rest
    // of the stream could no longer be trusted, so the connection is given up.
    if (n > capacity || !net::RecvAll(c.socket, answer, n)) {
        c.broken = true;
        return false;
    }
    *status = GetLe32(header);
    *answerLength = n;
    return true;
}

bool CVirtualFtdiClient::TransactIdle(uint8_t op, const void* payload, uint32_t length, FT_STATUS* status,
                                      void* answer, uint32_t capacity, uint32_t* answerLength)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        bool fresh = m_idle.socket == net::INVALID_SOCKET_HANDLE;
        if (!ConnectIdle())
            return false;
        if (Transact(m_idle, op, payload, length, status, answer, capacity, answerLength))
            return true;
        DropIdle();
        if (fresh)
            return false;
    }
    return false;
}

FT_STATUS CVirtualFtdiClient::ListDevicesCount(uint32_t* count)
{
    if (!count)
        return FT_INVALID_PARAMETER;
    *count = 0;
    std::lock_guard<std::mutex> lock(m_idleLock);
    FT_STATUS st = FT_OK;
    uint8_t answer[4];
    uint32_t n = 0;
    // Nothing listening means no device attached.
    if (!TransactIdle(VFTDI_LIST_COUNT, nullptr, 0, &st, answer, sizeof answer, &n))
        return FT_OK;
    if (st == FT_OK && n == 4)
        *count = GetLe32(answer);
    else if (st == FT_OK)
        st = FT_IO_ERROR;
    return st;
}

FT_STATUS CVirtualFtdiClient::OpenByDescription(const char* description, FT_HANDLE* handle)
{
    if (!description || !handle)
        return FT_INVALID_PARAMETER;
    *handle = nullptr;
    size_t length = strnlen(description, MAX_DESCRIPTION);
    std::lock_guard<std::mutex> lock(m_idleLock);
    FT_STATUS st = FT_OK;
    uint8_t none[1];
    uint32_t n = 0;
    if (!TransactIdle(VFTDI_OPEN_BY_DESCRIPTION, description, uint32_t(length), &st, none, 0, &n))
        return FT_DEVICE_NOT_FOUND;
    if (st != FT_OK)
        return st;
    // The connection is the handle now; the next count or open makes a new idle one.
    auto* c = new Connection(m_idle);
    m_idle = Connection{};
    {
        std::lock_guard<std::mutex> hl(m_handleLock);
        m_handles.insert(c);
    }
    *handle = c;
    return FT_OK;
}

CVirtualFtdiClient::Connection* CVirtualFtdiClient::FindHandle(FT_HANDLE h)
{
    std::lock_guard<std::mutex> lock(m_handleLock);
    auto it = m_handles.find(static_cast<Connection*>(h));
    return it == m_handles.end() ? nullptr : *it;
}

FT_STATUS CVirtualFtdiClient::SimpleCall(FT_HANDLE h, uint8_t op, const void* payload, uint32_t length)
{
    Connection* c = FindHandle(h);
    if (!c)
        return FT_INVALID_HANDLE;
    if (c->broken)
        return FT_IO_ERROR;
    FT_STATUS st = FT_OK;
    uint8_t none[1];
    uint32_t n = 0;
    if (!Transact(*c, op, payload, length, &st, none, 0, &n))
        return FT_IO_ERROR;
    return st;
}

FT_STATUS CVirtualFtdiClient::SetDataCharacteristics(FT_HANDLE h, uint8_t wordLength, uint8_t stopBits, uint8_t parity)
{
    uint8_t p[3] = {wordLength, stopBits, parity};
    return SimpleCall(h, VFTDI_SET_DATA_CHARACTERISTICS, p, sizeof p);
}

FT_STATUS CVirtualFtdiClient::SetBaudRate(FT_HANDLE h, uint32_t baud)
{
    uint8_t p[4];
    PutLe32(p, baud);
    return SimpleCall(h, VFTDI_SET_BAUD_RATE, p, sizeof p);
}

FT_STATUS CVirtualFtdiClient::Write(FT_HANDLE h, const void* data, uint32_t count, uint32_t* written)
{
    if (written)
        *written = 0;
    if (!data && count > 0)
        return FT_INVALID_PARAMETER;
    Connection* c = FindHandle(h);
    if (!c)
        return FT_INVALID_HANDLE;
    if (c->broken)
        return FT_IO_ERROR;
    FT_STATUS st = FT_OK;
    uint8_t answer[4];
    uint32_t n = 0;
    if (!Transact(*c, VFTDI_WRITE, data, count, &st, answer, sizeof answer, &n))
        return FT_IO_ERROR;
    if (st == FT_OK && n != 4)
        return FT_IO_ERROR;
    if (written && n == 4)
        *written = GetLe32(answer);
    return st;
}

FT_STATUS CVirtualFtdiClient::GetStatus(FT_HANDLE h, uint32_t* rxQueue, uint32_t* txQueue, uint32_t* events)
{
    if (rxQueue)
        *rxQueue = 0;
    if (txQueue)
        *txQueue = 0;
    if (events)
        *events = 0;
    Connection* c = FindHandle(h);
    if (!c)
        return FT_INVALID_HANDLE;
    if (c->broken)
        return FT_IO_ERROR;
    FT_STATUS st = FT_OK;
    uint8_t answer[12];
    uint32_t n = 0;
    if (!Transact(*c, VFTDI_GET_STATUS, nullptr, 0, &st, answer, sizeof answer, &n))
        return FT_IO_ERROR;
    if (st != FT_OK)
        return st;
    if (n != 12)
        return FT_IO_ERROR;
    if (rxQueue)
        *rxQueue = GetLe32(answer);
    if (txQueue)
        *txQueue = GetLe32(answer + 4);
    if (events)
        *events = GetLe32(answer + 8);
    return FT_OK;
}

FT_STATUS CVirtualFtdiClient::Read(FT_HANDLE h, void* buffer, uint32_t count, uint32_t* returned)
{
    if (returned)
        *returned = 0;
    if (!buffer && count > 0)
        return FT_INVALID_PARAMETER;
    Connection* c = FindHandle(h);
    if (!c)
        return FT_INVALID_HANDLE;
    if (c->broken)
        return FT_IO_ERROR;
    uint8_t p[4];
    PutLe32(p, count);
    FT_STATUS st = FT_OK;
    uint32_t n = 0;
    // The answer lands straight in the caller's buffer; more than asked breaks the connection.
    if (!Transact(*c, VFTDI_READ, p, sizeof p, &st, buffer, count, &n))
        return FT_IO_ERROR;
    if (returned)
        *returned = n;
    return st;
}

FT_STATUS CVirtualFtdiClient::ResetDevice(FT_HANDLE h) { return SimpleCall(h, VFTDI_RESET_DEVICE, nullptr, 0); }

FT_STATUS CVirtualFtdiClient::SetBitMode(FT_HANDLE h, uint8_t mask, uint8_t mode)
{
    uint8_t p[2] = {mask, mode};
    return SimpleCall(h, VFTDI_SET_BIT_MODE, p, sizeof p);
}

FT_STATUS CVirtualFtdiClient::SetBreakOn(FT_HANDLE h) { return SimpleCall(h, VFTDI_SET_BREAK_ON, nullptr, 0); }

FT_STATUS CVirtualFtdiClient::SetBreakOff(FT_HANDLE h) { return SimpleCall(h, VFTDI_SET_BREAK_OFF, nullptr, 0); }

FT_STATUS CVirtualFtdiClient::Purge(FT_HANDLE h, uint32_t mask)
{
    uint8_t p[4];
    PutLe32(p, mask);
    return SimpleCall(h, VFTDI_PURGE, p, sizeof p);
}

FT_STATUS CVirtualFtdiClient::SetLatencyTimer(FT_HANDLE h, uint8_t ms)
{
    return SimpleCall(h, VFTDI_SET_LATENCY_TIMER, &ms, 1);
}

FT_STATUS CVirtualFtdiClient::SetChars(FT_HANDLE h, uint8_t eventChar, uint8_t eventEnabled, uint8_t errorChar,
                                       uint8_t errorEnabled)
{
    uint8_t p[4] = {eventChar, eventEnabled, errorChar, errorEnabled};
    return SimpleCall(h, VFTDI_SET_CHARS, p, sizeof p);
}

FT_STATUS CVirtualFtdiClient::Close(FT_HANDLE h)
{
    Connection* c = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_handleLock);
        auto it = m_handles.find(static_cast<Connection*>(h));
        if (it == m_handles.end())
            return FT_INVALID_HANDLE;
        c = *it;
        m_handles.erase(it);
    }
    if (!c->broken) {
        // Waiting for the answer lets the simulator release the device before
        // a later open looks for it; its result does not matter here.
        FT_STATUS st = FT_OK;
        uint8_t none[1];
        uint32_t n = 0;
        Transact(*c, VFTDI_CLOSE, nullptr, 0, &st, none, 0, &n);
    }
    net::CloseSocket(c->socket);
    delete c;
    return FT_OK;
}

std::unique_ptr<IFtdiDriver> CreateVirtualFtdiClient(const std::string& hostPort)
{
    return std::make_unique<CVirtualFtdiClient>(hostPort);
}

} // namespace vu
