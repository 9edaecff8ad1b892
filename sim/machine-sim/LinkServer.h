// The simulated devices served over the virtual FTDI link: one thread per
// connection, one request and one answer at a time (a WAIT_RECEIVE sleeps
// on its own thread, without the devices' lock). Connections hold no
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

    // The clock every device call is given, in microseconds.
    uint64_t NowUs() const;

    // Runs f on the devices while no request is being handled.
    void WithDevices(const std::function<void(SimDevices&)>& f);

    // Sleeps until untilUs on the link's clock; false when the connection
    // wants attention before (its host hung up, or the server stops).
    using WaitFn = std::function<bool(uint64_t untilUs)>;

    // One request on a connection; exposed so the answers can be tested
    // without sockets. device is the connection's open device, or null.
    // WAIT_RECEIVE sleeps through wait (a plain sleep when empty).
    uint32_t Handle(CSimDevice** device, uint8_t op, const std::vector<uint8_t>& payload,
                    std::vector<uint8_t>* answer, bool* closeAfter, const WaitFn& wait = {});

private:
    struct Worker {
        std::thread thread;
        net::SocketHandle socket;
        std::shared_ptr<std::atomic<bool>> done;
    };
    void AcceptLoop();
    void Serve(net::SocketHandle s);
    // WAIT_RECEIVE on d (m_lock held through lock): returns the time the wait
    // ended, when bytes were handed to the host or ms had passed.
    uint64_t WaitForBytes(std::unique_lock<std::mutex>& lock, CSimDevice& d, uint32_t ms, uint64_t nowUs,
                          const WaitFn& wait);
    void Trace(const std::string& line);

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
