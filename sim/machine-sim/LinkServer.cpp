#include "sim/machine-sim/LinkServer.h"

#include "device/FtdiDriver.h"
#include "device/VirtualFtdiProtocol.h"
#include "platform/LittleEndian.h"
#include "platform/Platform.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sys/socket.h>
#include <thread>

namespace vu::sim {

namespace {

constexpr uint32_t FT_INVALID_BAUD_RATE = 7;

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
    // A host sends nothing while its wait is in flight: anything to read ends
    // the wait early (its hang-up, or Stop shutting the socket).
    const WaitFn wait = [&](uint64_t untilUs) {
        uint64_t now = NowUs();
        return untilUs <= now || net::WaitReadable(s, untilUs - now) == 0;
    };
    for (;;) {
        uint8_t op = 0;
        bool oversized = false;
        if (!vftdi::RecvRequest(s, VFTDI_MAX_REQUEST, &op, &payload, &oversized))
            break;
        answer.clear();
        bool closeAfter = false;
        uint32_t status = oversized ? FT_NOT_SUPPORTED : Handle(&device, op, payload, &answer, &closeAfter, wait);
        if (!vftdi::SendAnswer(s, status, answer.data(), uint32_t(answer.size())) || closeAfter)
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

uint64_t CLinkServer::WaitForBytes(std::unique_lock<std::mutex>& lock, CSimDevice& d, uint32_t ms, uint64_t nowUs,
                                   const WaitFn& wait)
{
    const uint64_t deadline = nowUs + uint64_t(ms) * 1000;
    for (;;) {
        // The timed model says when the converter hands its next bytes over; sleep until then.
        uint64_t next = std::min(d.NextReceiveUs(nowUs), deadline);
        if (next <= nowUs)
            return nowUs;
        // Other connections go on while this one sleeps; its own device sees no other request.
        lock.unlock();
        bool slept = true;
        if (wait)
            slept = wait(next);
        else
            std::this_thread::sleep_for(std::chrono::microseconds(next - nowUs));
        lock.lock();
        nowUs = NowUs();
        if (!slept)
            return nowUs;
    }
}

uint32_t CLinkServer::Handle(CSimDevice** devicePtr, uint8_t op, const std::vector<uint8_t>& payload,
                             std::vector<uint8_t>* answer, bool* closeAfter, const WaitFn& wait)
{
    if (uint32_t checked = vftdi::CheckRequest(op, payload.size(), *devicePtr != nullptr))
        return checked;
    const uint8_t* p = payload.data();
    if (op == VFTDI_WAIT_RECEIVE && GetLe32(p) > VFTDI_MAX_WAIT_MS)
        return FT_NOT_SUPPORTED;

    std::unique_lock<std::mutex> lock(m_lock);
    uint64_t now = NowUs();
    if (op == VFTDI_LIST_COUNT) {
        uint32_t count = 0;
        for (auto& d : m_devices)
            count += d->Present(now);
        AppendLe32(*answer, count);
        return FT_OK;
    }
    if (op == VFTDI_GET_DESCRIPTION) {
        // Indexes count the attached devices, as LIST_COUNT does.
        uint32_t index = GetLe32(p);
        for (auto& d : m_devices) {
            if (!d->Present(now))
                continue;
            if (index-- == 0) {
                answer->assign(d->Description().begin(), d->Description().end());
                return FT_OK;
            }
        }
        return FT_DEVICE_NOT_FOUND;
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
    case VFTDI_SET_CHARS: d.SetChars(p[0], p[1] != 0, now); break;
    case VFTDI_WAIT_RECEIVE: {
        now = WaitForBytes(lock, d, GetLe32(p), now, wait);
        uint32_t rx = 0, tx = 0;
        d.GetStatus(now, &rx, &tx);
        AppendLe32(*answer, rx);
        break;
    }
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
