// The simulated devices served over the virtual FTDI link: one thread per
// connection, one request and one answer at a time. Connections hold no
// machine state; the devices outlast them.
#pragma once

#include "platform/Socket.h"
#include "sim/machine-sim/SimDevice.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vu::sim {

using SimDevices = std::vector<std::unique_ptr<CSimDevice>>;

// Requests longer than this are read past and answered FT_NOT_SUPPORTED.
constexpr uint32_t LINK_MAX_REQUEST = 1024 * 1024;

class CLinkServer {
public:
    explicit CLinkServer(SimDevices devices, bool verbose = false);
    ~CLinkServer();
    CLinkServer(const CLinkServer&) = delete;
    CLinkServer& operator=(const CLinkServer&) = delete;

    // Listens on addrNet:port (port 0: a free one).
    bool Start(uint32_t addrNet, uint16_t port, std::string* error);
    void Stop();   // closes the listener and every connection, waits for their threads
    std::string Address() const;   // "HOST:PORT"
    uint16_t Port() const { return m_port; }
    int Accepted() const { return m_accepted.load(); }

    // Runs f on the devices while no request is being handled.
    void WithDevices(const std::function<void(SimDevices&)>& f);

    // One request on a connection; exposed so the answers can be tested
    // without sockets. device is the connection's open device, or null.
    uint32_t Handle(CSimDevice** device, uint8_t op, const std::vector<uint8_t>& payload,
                    std::vector<uint8_t>* answer, bool* closeAfter);

private:
    struct Worker {
        std::thread thread;
        net::SocketHandle socket;
        std::shared_ptr<std::atomic<bool>> done;
    };
    void AcceptLoop();
    void Serve(net::SocketHandle s);
    void Trace(const std::string& line);
    uint64_t NowUs() const;

    bool m_bVerbose;
    std::mutex m_lock;   // the devices
    SimDevices m_devices;
    net::SocketHandle m_listener = net::INVALID_SOCKET_HANDLE;
    uint32_t m_addrNet = 0;
    uint16_t m_port = 0;
    std::atomic<bool> m_bStopping{false};
    std::atomic<int> m_accepted{0};
    std::thread m_acceptThread;
    std::mutex m_workerLock;
    std::list<Worker> m_workers;
};

} // namespace vu::sim
