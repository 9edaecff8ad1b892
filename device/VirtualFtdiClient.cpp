#include "device/VirtualFtdiClient.h"

#include "platform/LittleEndian.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace vu {

namespace {

// More devices than a USB bus takes is not believed.
constexpr uint32_t MAX_LISTED = 127;

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
    if (!vftdi::SendRequest(c.socket, op, payload, length) ||
        !vftdi::RecvAnswer(c.socket, status, answer, capacity, answerLength)) {
        c.broken = true;
        return false;
    }
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

FT_STATUS CVirtualFtdiClient::CountLocked(uint32_t* count)
{
    *count = 0;
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

FT_STATUS CVirtualFtdiClient::DescribeLocked(uint32_t index, std::string* description)
{
    description->clear();
    uint8_t p[4];
    PutLe32(p, index);
    FT_STATUS st = FT_OK;
    char text[VFTDI_MAX_DESCRIPTION];
    uint32_t n = 0;
    // A longer description breaks the idle connection; the next call makes a new one.
    if (!TransactIdle(VFTDI_GET_DESCRIPTION, p, sizeof p, &st, text, sizeof text, &n))
        return FT_IO_ERROR;
    if (st == FT_OK)
        description->assign(text, n);
    return st;
}

FT_STATUS CVirtualFtdiClient::ListDevicesCount(uint32_t* count)
{
    if (!count)
        return FT_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(m_idleLock);
    return CountLocked(count);
}

FT_STATUS CVirtualFtdiClient::GetDescription(uint32_t index, std::string* description)
{
    if (!description)
        return FT_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(m_idleLock);
    return DescribeLocked(index, description);
}

FT_STATUS CVirtualFtdiClient::ListDescriptions(std::vector<std::string>* descriptions)
{
    if (!descriptions)
        return FT_INVALID_PARAMETER;
    descriptions->clear();
    std::lock_guard<std::mutex> lock(m_idleLock);
    uint32_t count = 0;
    if (FT_STATUS st = CountLocked(&count))
        return st;
    if (count > MAX_LISTED)
        return FT_OTHER_ERROR;
    for (uint32_t i = 0; i < count; ++i) {
        std::string text;
        FT_STATUS st = DescribeLocked(i, &text);
        // A device that went away between the count and its description ends the list.
        if (st == FT_DEVICE_NOT_FOUND)
            break;
        if (st != FT_OK) {
            descriptions->clear();
            return st;
        }
        descriptions->push_back(text);
    }
    return FT_OK;
}

FT_STATUS CVirtualFtdiClient::OpenByDescription(const char* description, FT_HANDLE* handle)
{
    if (!description || !handle)
        return FT_INVALID_PARAMETER;
    *handle = nullptr;
    size_t length = strnlen(description, VFTDI_MAX_DESCRIPTION);
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

FT_STATUS CVirtualFtdiClient::UsableHandle(FT_HANDLE h, Connection** c)
{
    *c = FindHandle(h);
    if (!*c)
        return FT_INVALID_HANDLE;
    // A broken handle sends nothing more.
    return (*c)->broken ? FT_IO_ERROR : FT_OK;
}

FT_STATUS CVirtualFtdiClient::HandleCall(FT_HANDLE h, uint8_t op, const void* payload, uint32_t length, void* answer,
                                         uint32_t capacity, uint32_t* answerLength)
{
    if (answerLength)
        *answerLength = 0;
    Connection* c = nullptr;
    if (FT_STATUS st = UsableHandle(h, &c))
        return st;
    const int fixed = vftdi::FindOp(op)->answerLength;
    if (fixed != vftdi::ANY_LENGTH)
        capacity = uint32_t(fixed);
    uint8_t none[1];
    FT_STATUS st = FT_OK;
    uint32_t n = 0;
    if (!Transact(*c, op, payload, length, &st, answer ? answer : none, capacity, &n))
        return FT_IO_ERROR;
    if (st == FT_OK && fixed != vftdi::ANY_LENGTH && n != uint32_t(fixed))
        return FT_IO_ERROR;
    if (answerLength)
        *answerLength = n;
    return st;
}

FT_STATUS CVirtualFtdiClient::SetDataCharacteristics(FT_HANDLE h, uint8_t wordLength, uint8_t stopBits, uint8_t parity)
{
    uint8_t p[3] = {wordLength, stopBits, parity};
    return HandleCall(h, VFTDI_SET_DATA_CHARACTERISTICS, p, sizeof p);
}

FT_STATUS CVirtualFtdiClient::SetBaudRate(FT_HANDLE h, uint32_t baud)
{
    uint8_t p[4];
    PutLe32(p, baud);
    return HandleCall(h, VFTDI_SET_BAUD_RATE, p, sizeof p);
}

FT_STATUS CVirtualFtdiClient::Write(FT_HANDLE h, const void* data, uint32_t count, uint32_t* written)
{
    if (written)
        *written = 0;
    if (!data && count > 0)
        return FT_INVALID_PARAMETER;
    uint8_t answer[4];
    uint32_t n = 0;
    FT_STATUS st = HandleCall(h, VFTDI_WRITE, data, count, answer, sizeof answer, &n);
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
    uint8_t answer[12];
    FT_STATUS st = HandleCall(h, VFTDI_GET_STATUS, nullptr, 0, answer, sizeof answer);
    if (st != FT_OK)
        return st;
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
    uint8_t p[4];
    PutLe32(p, count);
    // The answer lands straight in the caller's buffer; more than asked breaks the connection.
    return HandleCall(h, VFTDI_READ, p, sizeof p, buffer, count, returned);
}

FT_STATUS CVirtualFtdiClient::ResetDevice(FT_HANDLE h) { return HandleCall(h, VFTDI_RESET_DEVICE, nullptr, 0); }

FT_STATUS CVirtualFtdiClient::SetBitMode(FT_HANDLE h, uint8_t mask, uint8_t mode)
{
    uint8_t p[2] = {mask, mode};
    return HandleCall(h, VFTDI_SET_BIT_MODE, p, sizeof p);
}

FT_STATUS CVirtualFtdiClient::SetBreakOn(FT_HANDLE h) { return HandleCall(h, VFTDI_SET_BREAK_ON, nullptr, 0); }

FT_STATUS CVirtualFtdiClient::SetBreakOff(FT_HANDLE h) { return HandleCall(h, VFTDI_SET_BREAK_OFF, nullptr, 0); }

FT_STATUS CVirtualFtdiClient::Purge(FT_HANDLE h, uint32_t mask)
{
    uint8_t p[4];
    PutLe32(p, mask);
    return HandleCall(h, VFTDI_PURGE, p, sizeof p);
}

FT_STATUS CVirtualFtdiClient::SetLatencyTimer(FT_HANDLE h, uint8_t ms)
{
    return HandleCall(h, VFTDI_SET_LATENCY_TIMER, &ms, 1);
}

FT_STATUS CVirtualFtdiClient::SetChars(FT_HANDLE h, uint8_t eventChar, uint8_t eventEnabled, uint8_t errorChar,
                                       uint8_t errorEnabled)
{
    uint8_t p[4] = {eventChar, eventEnabled, errorChar, errorEnabled};
    return HandleCall(h, VFTDI_SET_CHARS, p, sizeof p);
}

FT_STATUS CVirtualFtdiClient::WaitReceive(FT_HANDLE h, uint32_t ms, uint32_t* rxQueue)
{
    if (rxQueue)
        *rxQueue = 0;
    Connection* c = nullptr;
    if (FT_STATUS st = UsableHandle(h, &c))
        return st;
    if (m_bNoWaitReceive)
        return FT_NOT_SUPPORTED;
    for (uint32_t left = ms;;) {
        uint32_t part = std::min(left, VFTDI_MAX_WAIT_MS);
        uint8_t p[4];
        PutLe32(p, part);
        // The answer may take the whole wait: the usual answer limit counts from its end.
        net::SetRecvTimeout(c->socket, part + VFTDI_ANSWER_TIMEOUT_MS);
        uint8_t answer[4];
        FT_STATUS st = HandleCall(h, VFTDI_WAIT_RECEIVE, p, sizeof p, answer, sizeof answer);
        if (!c->broken)
            net::SetRecvTimeout(c->socket, VFTDI_ANSWER_TIMEOUT_MS);
        // Every wait the client sends is well formed, so 17 means the op is unknown.
        if (st == FT_NOT_SUPPORTED)
            m_bNoWaitReceive = true;
        if (st != FT_OK)
            return st;
        uint32_t count = GetLe32(answer);
        left -= part;
        if (count > 0 || left == 0) {
            if (rxQueue)
                *rxQueue = count;
            return FT_OK;
        }
    }
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
