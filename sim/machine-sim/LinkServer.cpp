#include "sim/machine-sim/LinkServer.h"

#include "device/FtdiDriver.h"
#include "device/VirtualFtdiClient.h"
#include "platform/LittleEndian.h"
#include "platform/Platform.h"

#include <cstdio>
#include <sys/socket.h>

namespace vu::sim {

namespace {

constexpr uint32_t FT_INVALID_BAUD_RATE = 7;

// The payload length each op takes; -1 for any length.
int PayloadLength(uint8_t op)
{
    switch (op) {
    case VFTDI_LIST_COUNT: return 0;
    case VFTDI_OPEN_BY_DESCRIPTION: return -1;
    case VFTDI_SET_DATA_CHARACTERISTICS: return 3;
    case VFTDI_SET_BAUD_RATE: return 4;
    case VFTDI_WRITE: return -1;
    case VFTDI_GET_STATUS: return 0;
    case VFTDI_READ: return 4;
    case VFTDI_RESET_DEVICE: return 0;
    case VFTDI_SET_BIT_MODE: return 2;
    case VFTDI_SET_BREAK_ON: return 0;
    case VFTDI_SET_BREAK_OFF: return 0;
    case VFTDI_PURGE: return 4;
    case VFTDI_CLOSE: return 0;
    case VFTDI_SET_LATENCY_TIMER: return 1;
    case VFTDI_SET_CHARS: return 4;
    default: return -2;
    }
}

} // namespace

CLinkServer::CLinkServer(SimDevices devices, bool verbose) : m_bVerbose(verbose), m_devices(std::move(devices)) {}

CLinkServer::~CLinkServer() { Stop(); }

uint64_t CLinkServer::NowUs() const
{
    ISystemServices& sys = RealSystem();
    uint64_t f = sys.PerformanceFrequency();
    uint64_t c = sys.PerformanceCounter();
    return f == 0 ? 0 : c / f * 1'000'000 + c % f * 1'000'000 / f;
}

bool CLinkServer::Start(uint32_t addrNet, uint16_t port, std::string* error)
{
    m_addrNet = addrNet;
    m_listener = net::TcpListen(addrNet, port, &m_port);
    if (m_listener == net::INVALID_SOCKET_HANDLE) {
        if (error)
            *error = "cannot listen on " + net::InetNtoa(addrNet) + ":" + std::to_string(port) + " (error " +
                     std::to_string(net::LastError()) + ")";
        return false;
    }
    m_acceptThread = std::thread([this] { AcceptLoop(); });
    return true;
}

std::string CLinkServer::Address() const { return net::InetNtoa(m_addrNet) + ":" + std::to_string(m_port); }

void CLinkServer::Stop()
{
    if (m_listener == net::INVALID_SOCKET_HANDLE || m_bStopping.exchange(true))
        return;
    ::shutdown(int(m_listener), SHUT_RDWR);
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    net::CloseSocket(m_listener);
    std::list<Worker> workers;
    {
        std::lock_guard<std::mutex> lock(m_workerLock);
        workers.swap(m_workers);
    }
    for (Worker& w : workers)
        ::shutdown(int(w.socket), SHUT_RDWR);
    for (Worker& w : workers) {
        w.thread.join();
        net::CloseSocket(w.socket);
    }
}

void CLinkServer::WithDevices(const std::function<void(SimDevices&)>& f)
{
    std::lock_guard<std::mutex> lock(m_lock);
    f(m_devices);
}

void CLinkServer::Trace(const std::string& line)
{
    if (m_bVerbose)
        std::fprintf(stderr, "machine-sim: %s\n", line.c_str());
}

void CLinkServer::AcceptLoop()
{
    for (;;) {
        net::SocketHandle s = net::Accept(m_listener);
        if (m_bStopping) {
            net::CloseSocket(s);
            return;
        }
        if (s == net::INVALID_SOCKET_HANDLE)
            continue;
        net::SetNoDelay(s);
        m_accepted++;
        std::lock_guard<std::mutex> lock(m_workerLock);
        // Threads of connections that ended are joined here, so a long run does not pile them up.
        for (auto it = m_workers.begin(); it != m_workers.end();) {
            if (it->done->load()) {
                it->thread.join();
                net::CloseSocket(it->socket);
                it = m_workers.erase(it);
            } else {
                ++it;
            }
        }
        auto done = std::make_shared<std::atomic<bool>>(false);
        Worker w{std::thread(), s, done};
        w.thread = std::thread([this, s, done] {
            Serve(s);
            done->store(true);
        });
        m_workers.push_back(std::move(w));
    }
}

void CLinkServer::Serve(net::SocketHandle s)
{
    CSimDevice* device = nullptr;
    std::vector<uint8_t> payload;
    std::vector<uint8_t> answer;
    for (;;) {
        uint8_t header[5];
        if (!net::RecvAll(s, header, sizeof header))
            break;
        uint32_t length = GetLe32(header + 1);
        uint32_t status;
        bool closeAfter = false;
        answer.clear();
        if (length > LINK_MAX_REQUEST) {
            // Read past it in pieces, so no request can make us hold more than the limit.
            uint8_t sink[4096];
            bool ok = true;
            for (uint32_t left = length; left > 0 && ok;) {
                uint32_t n = left > sizeof sink ? uint32_t(sizeof sink) : left;
                ok = net::RecvAll(s, sink, n);
                left -= n;
            }
            if (!ok)
                break;
            status = FT_NOT_SUPPORTED;
        } else {
            payload.resize(length);
            if (!net::RecvAll(s, payload.data(), length))
                break;
            status = Handle(&device, header[0], payload, &answer, &closeAfter);
        }
        std::vector<uint8_t> out;
        out.reserve(8 + answer.size());
        AppendLe32(out, status);
        AppendLe32(out, uint32_t(answer.size()));
        out.insert(out.end(), answer.begin(), answer.end());
        if (net::SendAll(s, out.data(), out.size()) != out.size() || closeAfter)
            break;
    }
    if (device) {
        // A connection that ends without CLOSE is a pulled cable.
        std::lock_guard<std::mutex> lock(m_lock);
        device->Close(NowUs());
        Trace("\"" + device->Description() + "\" closed: connection ended");
    }
    net::ShutdownSend(s);
}

uint32_t CLinkServer::Handle(CSimDevice** devicePtr, uint8_t op, const std::vector<uint8_t>& payload,
                             std::vector<uint8_t>* answer, bool* closeAfter)
{
    int expected = PayloadLength(op);
    if (expected == -2)
        return FT_NOT_SUPPORTED;
    bool idleOp = op == VFTDI_LIST_COUNT || op == VFTDI_OPEN_BY_DESCRIPTION;
    if (idleOp == (*devicePtr != nullptr))
        return FT_DEVICE_NOT_OPENED;
    if (expected >= 0 && payload.size() != size_t(expected))
        return FT_NOT_SUPPORTED;

    std::lock_guard<std::mutex> lock(m_lock);
    uint64_t now = NowUs();
    if (op == VFTDI_LIST_COUNT) {
        uint32_t count = 0;
        for (auto& d : m_devices)
            count += d->Present(now);
        AppendLe32(*answer, count);
        return FT_OK;
    }
    if (op == VFTDI_OPEN_BY_DESCRIPTION) {
        std::string wanted(payload.begin(), payload.end());
        for (auto& d : m_devices) {
            if (d->Description() == wanted && !d->IsOpen() && d->Present(now)) {
                d->Open(now);
                *devicePtr = d.get();
                Trace("\"" + wanted + "\" opened");
                return FT_OK;
            }
        }
        return FT_DEVICE_NOT_FOUND;
    }

    CSimDevice& d = **devicePtr;
    uint32_t status = FT_OK;
    const uint8_t* p = payload.data();
    switch (op) {
    case VFTDI_SET_DATA_CHARACTERISTICS: d.SetDataCharacteristics(p[0], p[1], p[2]); break;
    case VFTDI_SET_BAUD_RATE:
        if (!d.SetBaudRate(GetLe32(p), now))
            status = FT_INVALID_BAUD_RATE;
        break;
    case VFTDI_WRITE: AppendLe32(*answer, d.Write(p, payload.size(), now)); break;
    case VFTDI_GET_STATUS: {
        uint32_t rx = 0, tx = 0;
        d.GetStatus(now, &rx, &tx);
        AppendLe32(*answer, rx);
        AppendLe32(*answer, tx);
        AppendLe32(*answer, 0);
        break;
    }
    case VFTDI_READ: {
        // Bounded by what is queued, which the driver's buffer limits.
        uint32_t wanted = std::min<uint32_t>(GetLe32(p), uint32_t(HOST_QUEUE_LIMIT));
        answer->resize(wanted);
        answer->resize(d.Read(answer->data(), wanted, now));
        break;
    }
    case VFTDI_RESET_DEVICE: d.ResetDevice(now); break;
    case VFTDI_SET_BIT_MODE: d.SetBitMode(p[0], p[1], now); break;
    case VFTDI_SET_BREAK_ON: d.SetBreak(true, now); break;
    case VFTDI_SET_BREAK_OFF: d.SetBreak(false, now); break;
    case VFTDI_PURGE: d.Purge(GetLe32(p), now); break;
    case VFTDI_SET_LATENCY_TIMER:
        if (!d.SetLatencyTimer(p[0], now))
            status = FT_NOT_SUPPORTED;
        break;
    case VFTDI_SET_CHARS: d.SetChars(p[0], p[1] != 0); break;
    case VFTDI_CLOSE:
        d.Close(now);
        Trace("\"" + d.Description() + "\" closed");
        *devicePtr = nullptr;
        *closeAfter = true;
        return FT_OK;
    default: break;
    }
    for (const std::string& r : d.TakeRejections())
        Trace("\"" + d.Description() + "\" refused " + r);
    if (!d.Present(now)) {
        // The machine dropped off the bus: the cable is gone for the host.
        d.Close(now);
        Trace("\"" + d.Description() + "\" dropped off the bus");
        *devicePtr = nullptr;
        *closeAfter = true;
    }
    return status;
}

} // namespace vu::sim
