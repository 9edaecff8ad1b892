#include "sim/update-server/UpdateServer.h"

#include "platform/Platform.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <random>

namespace vu::sim {

namespace {

constexpr uint32_t REQUEST_WAIT_MS = 10000;     // for the tool's half-close
constexpr size_t REQUEST_MAX_BYTES = 1 << 20;
constexpr size_t PAGE_REQUEST_MAX_BYTES = 16384;
const char* const PAGE_PATH = "/forum/getip.php";

std::string Now()
{
    std::time_t t = std::time(nullptr);
    char buf[32] = {};
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", std::localtime(&t));
    return buf;
}

std::string LogLine(const ReceivedRequest& r)
{
    std::string s = Now() + " #" + std::to_string(r.index) + " " + r.port;
    if (r.port == "page")
        return s + " GET " + r.path + " sent=" + std::to_string(r.sentBytes);
    if (!r.parsed.ok)
        return s + " refused: " + r.parsed.error + " (" + std::to_string(r.raw.size()) + " bytes)";
    s += " tag=" + HexText(r.parsed.fields[0]) + " offset=" + std::to_string(r.parsed.resumeOffset) + " fields=";
    for (size_t i = 0; i < r.parsed.fields.size(); ++i)
        s += (i ? "," : "") + std::to_string(r.parsed.fields[i].size());
    if (r.parsed.fields[0] == Bytes{0x02, 0x01, 0x02})
        s += " part=" + std::to_string(GetLe32(r.parsed.fields[6].data())) + "+"
             + std::to_string(GetLe32(r.parsed.fields[7].data()));
    if (!r.fault.empty())
        s += " fault=" + r.fault;
    return s + " reply=" + std::to_string(r.replyBytes) + " sent=" + std::to_string(r.sentBytes);
}

} // namespace

struct UpdateServer::Listener {
    std::string name;               // "fixed", "named", "page"
    uint16_t port = 0;
    int delayMs = 0;                // wait before listening; -1: never
    std::mutex lock;
    net::SocketHandle handle = net::INVALID_SOCKET_HANDLE;
    std::atomic<bool> done{false};
    std::thread thread;
};

UpdateServer::UpdateServer(UpdateContent content, UpdateServerOptions options)
    : m_options(std::move(options)), m_content(std::make_shared<UpdateContent>(std::move(content)))
{
}

UpdateServer::~UpdateServer() { Stop(); }

std::string UpdateServer::PageUrl() const
{
    return "http://" + m_address + ":" + std::to_string(m_pagePort) + PAGE_PATH;
}

bool UpdateServer::Start(std::string* error)
{
    std::string ignored;
    std::string& err = error ? *error : ignored;
    if (m_bStarted) {
        err = "already started";
        return false;
    }
    if (net::Startup() != 0) {
        err = "socket library start-up failed";
        return false;
    }
    m_bSocketsStarted = true;
    m_bStopping = false;

    std::mt19937 random{std::random_device{}()};
    bool pick = m_options.address.empty();
    for (int attempt = 0; attempt < (pick ? 64 : 1); ++attempt) {
        std::string address = m_options.address;
        if (pick)
            address = "127." + std::to_string(1 + random() % 254) + "." + std::to_string(random() % 256) + "."
                      + std::to_string(1 + random() % 254);
        uint32_t addrNet = net::InetAddr(address);
        if (address.rfind("127.", 0) != 0 || addrNet == 0xFFFFFFFFu) {
            err = "not a loopback address: " + address;
            return false;
        }
        // Bind every port now, so a taken address shows at once; a refusing
        // server lets its protocol ports go again until its delay is over.
        struct Want { const char* name; uint16_t port; bool protocol; };
        std::vector<Want> wants{{"fixed", m_options.fixedPort, true}, {"named", m_options.namedPort, true}};
        if (m_options.addressPage)
            wants.push_back({"page", m_options.pagePort, false});
        std::vector<std::unique_ptr<Listener>> listeners;
        bool ok = true;
        for (const Want& w : wants) {
            auto l = std::make_unique<Listener>();
            l->name = w.name;
            l->handle = net::TcpListen(addrNet, w.port, &l->port);
            if (l->handle == net::INVALID_SOCKET_HANDLE) {
                err = "cannot listen on " + address + ":" + std::to_string(w.port);
                ok = false;
                break;
            }
            if (w.protocol && m_options.refuseForMs != 0) {
                net::CloseSocket(l->handle);
                l->handle = net::INVALID_SOCKET_HANDLE;
                l->delayMs = m_options.refuseForMs;
            }
            listeners.push_back(std::move(l));
        }
        if (!ok) {
            for (auto& l : listeners)
                net::CloseSocket(l->handle);
            continue;
        }
        m_address = address;
        for (auto& l : listeners) {
            if (l->name == "fixed")
                m_fixedPort = l->port;
            else if (l->name == "named")
                m_namedPort = l->port;
            else
                m_pagePort = l->port;
        }
        m_listeners = std::move(listeners);
        break;
    }
    if (m_listeners.empty()) {
        net::Cleanup();
        m_bSocketsStarted = false;
        return false;
    }
    m_bStarted = true;
    for (auto& l : m_listeners)
        l->thread = std::thread([this, p = l.get()] { AcceptLoop(p); });
    err.clear();
    return true;
}

void UpdateServer::Stop()
{
    if (m_bStarted) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_bStopping = true;
        }
        m_stopSignal.notify_all();
        uint32_t addrNet = net::InetAddr(m_address);
        for (auto& l : m_listeners) {
            // A blocked accept wakes for a connection of our own.
            while (!l->done) {
                bool listening;
                {
                    std::lock_guard<std::mutex> lock(l->lock);
                    listening = l->handle != net::INVALID_SOCKET_HANDLE;
                }
                if (listening) {
                    net::SocketHandle s = net::TcpSocket();
                    net::Connect(s, addrNet, l->port);
                    net::CloseSocket(s);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            l->thread.join();
            net::CloseSocket(l->handle);
        }
        m_listeners.clear();
        std::list<Worker> workers;
        {
            std::lock_guard<std::mutex> lock(m_workerLock);
            workers.swap(m_workers);
        }
        for (Worker& w : workers)
            w.thread.join();
        m_bStarted = false;
    }
    if (m_bSocketsStarted) {
        net::Cleanup();
        m_bSocketsStarted = false;
    }
}

void UpdateServer::AcceptLoop(Listener* l)
{
    if (l->delayMs != 0) {
        if (WaitForStop(l->delayMs < 0 ? UINT32_MAX : uint32_t(l->delayMs))) {
            l->done = true;
            return;
        }
        net::SocketHandle h = net::TcpListen(net::InetAddr(m_address), l->port, nullptr);
        if (h == net::INVALID_SOCKET_HANDLE)
            std::fprintf(stderr, "update server: cannot listen on %s:%u\n", m_address.c_str(), unsigned(l->port));
        std::lock_guard<std::mutex> lock(l->lock);
        l->handle = h;
    }
    for (;;) {
        net::SocketHandle listener;
        {
            std::lock_guard<std::mutex> lock(l->lock);
            listener = l->handle;
        }
        if (m_bStopping || listener == net::INVALID_SOCKET_HANDLE)
            break;
        net::SocketHandle s = net::Accept(listener);
        if (m_bStopping) {
            net::CloseSocket(s);
            break;
        }
        if (s == net::INVALID_SOCKET_HANDLE) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        ReapFinished();
        auto done = std::make_shared<std::atomic<bool>>(false);
        std::lock_guard<std::mutex> lock(m_workerLock);
        m_workers.push_back({std::thread([this, s, name = l->name, done] {
                                 Serve(s, name);
                                 *done = true;
                             }),
                             done});
    }
    l->done = true;
}

void UpdateServer::ReapFinished()
{
    std::lock_guard<std::mutex> lock(m_workerLock);
    for (auto it = m_workers.begin(); it != m_workers.end();) {
        if (*it->done) {
            it->thread.join();
            it = m_workers.erase(it);
        } else {
            ++it;
        }
    }
}

bool UpdateServer::WaitForStop(uint32_t ms)
{
    std::unique_lock<std::mutex> lock(m_lock);
    if (ms == UINT32_MAX) {
        m_stopSignal.wait(lock, [this] { return m_bStopping.load(); });
        return true;
    }
    return m_stopSignal.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_bStopping.load(); });
}

void UpdateServer::Serve(net::SocketHandle s, const std::string& port)
{
    if (port == "page")
        ServePage(s);
    else
        ServeProtocol(s, port);
    net::CloseSocket(s);
}

void UpdateServer::ServeProtocol(net::SocketHandle s, const std::string& port)
{
    // The request ends where the tool half-closes; a tool that never does is refused.
    net::SetRecvTimeout(s, REQUEST_WAIT_MS);
    ReceivedRequest rq;
    rq.port = port;
    std::vector<uint8_t> chunk(65536);
    std::string readError;
    for (;;) {
        int n = net::Recv(s, chunk.data(), int(chunk.size()));
        if (n == 0)
            break;
        if (n < 0) {
            readError = "no half-close after the request (error " + std::to_string(net::LastError()) + ")";
            break;
        }
        rq.raw.insert(rq.raw.end(), chunk.begin(), chunk.begin() + n);
        if (rq.raw.size() > REQUEST_MAX_BYTES) {
            readError = "request longer than 1 MiB";
            break;
        }
    }
    rq.parsed = ParseRequest(rq.raw.data(), rq.raw.size());
    if (!readError.empty()) {
        rq.parsed.ok = false;
        rq.parsed.error = readError;
    }
    if (rq.parsed.ok && rq.parsed.fields[0] == Bytes{0x02, 0x01, 0x02}
        && GetLe32(rq.parsed.fields[7].data()) > IMAGE_PART_BYTES) {
        rq.parsed.ok = false;
        rq.parsed.error = "image part larger than 1 MiB";
    }
    if (!rq.parsed.ok) {
        Record(rq);
        SetSent(rq.index, 0); // closed without an answer
        return;
    }

    Fault fault;
    bool faulty = NextFault(rq.parsed, &fault);
    std::shared_ptr<const UpdateContent> content;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        content = m_content;
    }
    Bytes reply = PackReply(ReplyRecords(*content, rq.parsed));
    if (faulty)
        reply = FaultyReply(fault, reply);
    size_t offset = std::min<size_t>(rq.parsed.resumeOffset, reply.size());
    size_t length = reply.size() - offset;
    rq.fault = faulty ? DescribeFault(fault) : "";
    rq.replyBytes = length;
    Record(rq);

    size_t sent = 0;
    const uint8_t* from = reply.data() + offset;
    switch (faulty ? fault.kind : FaultKind::Raw) {
    case FaultKind::Close:
        break;
    case FaultKind::Stall:
        if (!WaitForStop(fault.ms))
            sent = net::SendAll(s, from, length);
        break;
    case FaultKind::Cut:
        sent = net::SendAll(s, from, std::min<size_t>(fault.bytes, length));
        break;
    case FaultKind::CutStall:
        sent = net::SendAll(s, from, std::min<size_t>(fault.bytes, length));
        WaitForStop(fault.ms);
        break;
    case FaultKind::CutReset:
        sent = net::SendAll(s, from, std::min<size_t>(fault.bytes, length));
        net::SetAbortiveClose(s);
        break;
    default:
        sent = net::SendAll(s, from, length);
        break;
    }
    SetSent(rq.index, sent);
}

void UpdateServer::ServePage(net::SocketHandle s)
{
    net::SetRecvTimeout(s, REQUEST_WAIT_MS);
    ReceivedRequest rq;
    rq.port = "page";
    std::vector<uint8_t> chunk(4096);
    for (;;) {
        std::string text(rq.raw.begin(), rq.raw.end());
        if (text.find("\r\n\r\n") != std::string::npos || text.find("\n\n") != std::string::npos
            || rq.raw.size() > PAGE_REQUEST_MAX_BYTES)
            break;
        int n = net::Recv(s, chunk.data(), int(chunk.size()));
        if (n <= 0)
            break;
        rq.raw.insert(rq.raw.end(), chunk.begin(), chunk.begin() + n);
    }
    std::string text(rq.raw.begin(), rq.raw.end());
    std::string line = text.substr(0, text.find_first_of("\r\n"));
    std::string method = line.substr(0, line.find(' '));
    size_t p1 = line.find(' ');
    size_t p2 = p1 == std::string::npos ? std::string::npos : line.find(' ', p1 + 1);
    if (p1 != std::string::npos)
        rq.path = line.substr(p1 + 1, p2 == std::string::npos ? std::string::npos : p2 - p1 - 1);
    // A proxy-style request carries the whole URL.
    std::string path = rq.path.substr(0, rq.path.find('?'));
    size_t scheme = path.find("://");
    if (scheme != std::string::npos) {
        size_t slash = path.find('/', scheme + 3);
        path = slash == std::string::npos ? "/" : path.substr(slash);
    }

    int status;
    std::string body;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (method == "GET" && path == PAGE_PATH) {
            status = m_pageStatus;
            body = m_bPageBodySet ? m_pageBody : m_address;
        } else {
            status = 404;
            body = "not found\n";
        }
    }
    const char* reason = status == 200 ? "OK" : status == 404 ? "Not Found" : "Error";
    std::string response = "HTTP/1.1 " + std::to_string(status) + " " + reason
                           + "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size())
                           + "\r\nConnection: close\r\n\r\n" + body;
    rq.replyBytes = response.size();
    Record(rq);
    size_t sent = net::SendAll(s, reinterpret_cast<const uint8_t*>(response.data()), response.size());
    SetSent(rq.index, sent);
}

bool UpdateServer::NextFault(const ParsedRequest& request, Fault* fault)
{
    std::lock_guard<std::mutex> lock(m_lock);
    for (Fault& f : m_faults) {
        if (f.count < 0 || (!f.tag.empty() && f.tag != request.fields[0]))
            continue;
        if (f.skip > 0) {
            --f.skip;
            continue;
        }
        *fault = f;
        if (f.count > 0 && --f.count == 0)
            f.count = -1; // used up
        return true;
    }
    return false;
}

void UpdateServer::Record(ReceivedRequest& request)
{
    std::lock_guard<std::mutex> lock(m_lock);
    request.index = m_nextIndex++;
    m_requests.push_back(request);
}

void UpdateServer::SetSent(int index, size_t sent)
{
    std::lock_guard<std::mutex> lock(m_lock);
    for (ReceivedRequest& r : m_requests) {
        if (r.index != index)
            continue;
        r.sentBytes = sent;
        if (!m_options.requestLog.empty()) {
            if (m_options.requestLog == "-") {
                std::printf("%s\n", LogLine(r).c_str());
                std::fflush(stdout);
            } else {
                std::ofstream out(m_options.requestLog, std::ios::app);
                out << LogLine(r) << "\n";
            }
        }
    }
}

void UpdateServer::SetContent(UpdateContent content)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_content = std::make_shared<UpdateContent>(std::move(content));
}

UpdateContent UpdateServer::Content() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return *m_content;
}

void UpdateServer::SetFaults(std::vector<Fault> faults)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_faults = std::move(faults);
}

void UpdateServer::AddFault(Fault fault)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_faults.push_back(std::move(fault));
}

void UpdateServer::SetPageBody(std::string body)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_pageBody = std::move(body);
    m_bPageBodySet = true;
}

void UpdateServer::SetPageStatus(int status)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_pageStatus = status;
}

std::vector<ReceivedRequest> UpdateServer::Requests() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_requests;
}

std::vector<ReceivedRequest> UpdateServer::ProtocolRequests() const
{
    std::vector<ReceivedRequest> out;
    for (ReceivedRequest& r : Requests())
        if (r.port != "page")
            out.push_back(std::move(r));
    return out;
}

std::vector<ReceivedRequest> UpdateServer::RequestsFor(const Bytes& tag) const
{
    std::vector<ReceivedRequest> out;
    for (ReceivedRequest& r : ProtocolRequests())
        if (r.parsed.ok && !r.parsed.fields.empty() && r.parsed.fields[0] == tag)
            out.push_back(std::move(r));
    return out;
}

void UpdateServer::ClearRequests()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_requests.clear();
}

void UpdateServer::ExportEnvironment() const
{
    SetEnv("VANTORELLE_FIXED_SERVER", m_address);
    SetEnv("VANTORELLE_SERVER_NAME", m_address);
    SetEnv("VANTORELLE_ADDRESS_PAGE", m_options.addressPage ? PageUrl() : "");
}

} // namespace vu::sim
