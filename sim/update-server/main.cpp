// vantorelle-update-server: the reference update server as a program.
#include "sim/update-server/UpdateServer.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

using namespace vu::sim;

namespace {

std::atomic<bool> g_stop{false};

void OnSignal(int) { g_stop = true; }

const char* const USAGE = R"(usage: vantorelle-update-server [options]
       vantorelle-update-server --make-demo-content DIR [--firmware-size N] [--image-size N] [--item6 TEXT]

Serves the update protocol on ADDRESS:5001 (fixed-address server) and
ADDRESS:4006 (named server), and the address page /forum/getip.php over
HTTP on ADDRESS:PAGE-PORT. Runs until interrupted.

  --address A          loopback address to listen on (127.x.y.z; default 127.0.0.1)
  --fixed-port P       port of the fixed-address server (default 5001; 0: a free one)
  --named-port P       port of the named server (default 4006; 0: a free one)
  --page-port P        port of the address page (default 8006; 0: a free one)
  --no-page            serve no address page
  --page-body TEXT     body of the address page (default: the listening address)
  --page-status N      HTTP status of the address page (default 200)
  --content DIR        content folder (default: small built-in demo content)
  --fault FAULT         inject a fault, repeatable; tried in order, e.g.
                       "close", "stall 5000", "cut 100 count=2", "cut-stall 100 60000",
                       "wrong-total 500", "beyond-buffer", "too-many-records",
                       "long-record", "oversize", "raw HEX"; options count=K|all,
                       skip=S, tag=HEX (default count=1)
  --fault-list FILE    faults, one per line (# comments)
  --refuse             keep the protocol ports closed (connections refused)
  --refuse-for MS      keep them closed for MS milliseconds after start
  --request-log FILE   append one line per request ('-': standard output)
  --make-demo-content DIR  write a demo content folder and exit
  --firmware-size N    demo firmware bytes (default 20000)
  --image-size N       demo image bytes (default 1053576: one whole part and 5000 bytes)
  --item6 TEXT         demo item 6 value, 5 characters (default V2.30)
)";

bool ToUnsigned(const std::string& s, unsigned long long max, unsigned long long* v)
{
    if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos || s.size() > 12)
        return false;
    *v = std::stoull(s);
    return *v <= max;
}

int Fail(const std::string& message)
{
    std::fprintf(stderr, "vantorelle-update-server: %s\n", message.c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    UpdateServerOptions options;
    options.address = "127.0.0.1";
    options.pagePort = 8006;
    std::string contentDir, demoDir, pageBody, item6 = "V2.30";
    int pageStatus = 200;
    unsigned long long firmwareSize = 20000, imageSize = 1048576 + 5000;
    std::vector<Fault> faults;

    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc)
                return false;
            *out = argv[++i];
            return true;
        };
        std::string v;
        unsigned long long n = 0;
        if (a == "--help" || a == "-h") {
            std::fputs(USAGE, stdout);
            return 0;
        } else if (a == "--address" && value(&v)) {
            options.address = v;
        } else if ((a == "--fixed-port" || a == "--named-port" || a == "--page-port") && value(&v)) {
            if (!ToUnsigned(v, 65535, &n))
                return Fail("bad port " + v);
            (a == "--fixed-port" ? options.fixedPort : a == "--named-port" ? options.namedPort : options.pagePort) =
                uint16_t(n);
        } else if (a == "--no-page") {
            options.addressPage = false;
        } else if (a == "--page-body" && value(&v)) {
            pageBody = v;
        } else if (a == "--page-status" && value(&v)) {
            if (!ToUnsigned(v, 999, &n) || n < 100)
                return Fail("bad status " + v);
            pageStatus = int(n);
        } else if (a == "--content" && value(&v)) {
            contentDir = v;
        } else if (a == "--fault" && value(&v)) {
            Fault f;
            std::string error;
            if (!ParseFault(v, &f, &error))
                return Fail(error);
            faults.push_back(f);
        } else if (a == "--fault-list" && value(&v)) {
            std::ifstream in(v);
            if (!in)
                return Fail("cannot read " + v);
            std::stringstream text;
            text << in.rdbuf();
            std::string error;
            if (!ParseFaultList(text.str(), &faults, &error))
                return Fail(v + ": " + error);
        } else if (a == "--refuse") {
            options.refuseForMs = -1;
        } else if (a == "--refuse-for" && value(&v)) {
            if (!ToUnsigned(v, 86400000, &n) || n == 0)
                return Fail("bad time " + v);
            options.refuseForMs = int(n);
        } else if (a == "--request-log" && value(&v)) {
            options.requestLog = v;
        } else if (a == "--make-demo-content" && value(&v)) {
            demoDir = v;
        } else if (a == "--firmware-size" && value(&v)) {
            if (!ToUnsigned(v, 11999ull * 1024, &firmwareSize))
                return Fail("bad firmware size " + v + " (at most 12286976)");
        } else if (a == "--image-size" && value(&v)) {
            if (!ToUnsigned(v, 0xFFFFFFFFull, &imageSize))
                return Fail("bad image size " + v);
        } else if (a == "--item6" && value(&v)) {
            if (v.size() != 5)
                return Fail("item 6 must be 5 characters");
            item6 = v;
        } else {
            std::fputs(USAGE, stderr);
            return Fail("bad option " + a);
        }
    }

    if (!demoDir.empty()) {
        std::string error;
        if (!SaveContent(MakeDemoContent(size_t(firmwareSize), size_t(imageSize), item6), demoDir, &error))
            return Fail(error);
        std::printf("demo content written to %s (firmware %llu bytes, image %llu bytes)\n", demoDir.c_str(),
                    firmwareSize, imageSize);
        return 0;
    }

    UpdateContent content = MakeDemoContent(size_t(firmwareSize), size_t(imageSize), item6);
    if (!contentDir.empty()) {
        std::string error;
        if (!LoadContent(contentDir, &content, &error))
            return Fail(error);
    }

    UpdateServer server(std::move(content), options);
    server.SetFaults(faults);
    if (!pageBody.empty())
        server.SetPageBody(pageBody);
    server.SetPageStatus(pageStatus);
    std::string error;
    if (!server.Start(&error))
        return Fail(error);

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::printf("update server on %s: fixed %u, named %u", server.Address().c_str(), unsigned(server.FixedPort()),
                unsigned(server.NamedPort()));
    if (options.addressPage)
        std::printf(", address page %s", server.PageUrl().c_str());
    std::printf("\n");
    std::fflush(stdout);
    while (!g_stop)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server.Stop();
    return 0;
}
