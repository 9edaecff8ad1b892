// The reference update server, in process: the server protocol on the
// fixed-address port 5001 and the named port 4006, the address page over
// HTTP on a port of its own, content per request tag, fault injection and a
// log of every request. Servers are told apart by their loopback address.
#pragma once

#include "platform/Socket.h"
#include "sim/update-server/Faults.h"
#include "sim/update-server/UpdateContent.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vu::sim {

struct UpdateServerOptions {
    std::string address;            // 127.x.y.z to listen on; empty: a free one picked at random
    uint16_t fixedPort = 5001;      // 0: a free port (the tool itself always uses 5001)
    uint16_t namedPort = 4006;      // 0: a free port (the tool itself always uses 4006)
    bool addressPage = true;        // serve /forum/getip.php
    uint16_t pagePort = 0;          // 0: a free port
    int refuseForMs = 0;            // keep the protocol ports closed this long; -1: for ever
    std::filesystem::path requestLog; // a text line per request appended here; empty: none
};

struct ReceivedRequest {
    int index = 0;                  // 0, 1, ... in arrival order, over all ports
    std::string port;               // "fixed", "named" or "page"
    Bytes raw;                      // the request bytes as they arrived
    ParsedRequest parsed;           // protocol requests
    std::string path;               // page requests: the request line's path
    std::string fault;              // the fault applied, empty when none
    size_t replyBytes = 0;          // the reply from the resume offset on
    size_t sentBytes = 0;           // what was actually sent
};

class UpdateServer {
public:
    explicit UpdateServer(UpdateContent content = MakeDemoContent(3000, 5000), UpdateServerOptions options = {});
    ~UpdateServer();
    UpdateServer(const UpdateServer&) = delete;
    UpdateServer& operator=(const UpdateServer&) = delete;

    bool Start(std::string* error = nullptr);
    void Stop();   // closes the ports, ends stalls, waits for every connection to end

    const std::string& Address() const { return m_address; }
    uint16_t FixedPort() const { return m_fixedPort; }
    uint16_t NamedPort() const { return m_namedPort; }
    uint16_t PagePort() const { return m_pagePort; }
    std::string PageUrl() const;   // http://ADDRESS:PORT/forum/getip.php

    void SetContent(UpdateContent content);
    UpdateContent Content() const;

    // Faults are tried in order; each conversation takes the first that
    // matches its tag and still has conversations left to spoil.
    void SetFaults(std::vector<Fault> faults);
    void AddFault(Fault fault);

    // The address page's body (default: the listening address) and status.
    void SetPageBody(std::string body);
    void SetPageStatus(int status);

    std::vector<ReceivedRequest> Requests() const;
    std::vector<ReceivedRequest> ProtocolRequests() const;   // without the page's
    // Well-formed protocol requests whose first field is tag, in order.
    std::vector<ReceivedRequest> RequestsFor(const Bytes& tag) const;
    void ClearRequests();

    // Points the tool in this process at this server: VANTORELLE_FIXED_SERVER
    // and VANTORELLE_SERVER_NAME to the address, VANTORELLE_ADDRESS_PAGE to the page.
    void ExportEnvironment() const;

private:
    struct Listener;
    void AcceptLoop(Listener* listener);
    void Serve(net::SocketHandle socket, const std::string& port);
    void ServeProtocol(net::SocketHandle socket, const std::string& port);
    void ServePage(net::SocketHandle socket);
    bool NextFault(const ParsedRequest& request, Fault* fault);
    bool WaitForStop(uint32_t ms);
    void Record(ReceivedRequest& request);
    void SetSent(int index, size_t sent);
    void ReapFinished();

    UpdateServerOptions m_options;
    std::string m_address;
    uint16_t m_fixedPort = 0, m_namedPort = 0, m_pagePort = 0;

    mutable std::mutex m_lock;
    std::condition_variable m_stopSignal;
    std::shared_ptr<const UpdateContent> m_content;
    std::vector<Fault> m_faults;
    std::string m_pageBody;
    bool m_bPageBodySet = false;
    int m_pageStatus = 200;
    std::vector<ReceivedRequest> m_requests;
    int m_nextIndex = 0;
    bool m_bSocketsStarted = false;

    std::atomic<bool> m_bStopping{false};
    bool m_bStarted = false;
    std::vector<std::unique_ptr<Listener>> m_listeners;
    struct Worker { std::thread thread; std::shared_ptr<std::atomic<bool>> done; };
    std::mutex m_workerLock;
    std::list<Worker> m_workers;
};

} // namespace vu::sim
