#include "sim/machine-sim/SimConfig.h"

#include "platform/Socket.h"

#include <cstdlib>

namespace vu::sim {

const char* const SIM_USAGE = R"(usage: vantorelle-machine-sim [options]

The Vantorelle machine behind a virtual FTDI converter, served on TCP
(the virtual FTDI link). Runs until interrupted; then writes the state
folder and prints a report.

  --listen HOST:PORT   where to listen (default 127.0.0.1:7010; port 0: a free one)
  --device TEXT        a converter with this description, repeatable
                       (default one "Vantorelle"); each has its own machine
  --broken             start with information item 6 missing, so the probe
                       fails and the long road runs (a playback restores it)
  --identity HEX       the 8 identity bytes (16 hex digits)
  --info-block HEX     the information block that follows BE 00
  --item N=TEXT        set information item N (decimal) to TEXT
  --drop-item N        start with information item N missing
  --fault FAULT        a machine fault, repeatable: CMD:KIND[:key=value...]
                       CMD two hex digits (D8, A4, ...) or "any"; KIND one of
                       refuse, delay, trickle, split, merge, garbage, silent,
                       vanish; keys times=N (-1: for ever), after=N,
                       status=HEX, ms=N, at=N, bytes=HEX
                       e.g. D8:refuse:times=2:after=10
  --no-timing          answers reach the host at once (no wire, machine or
                       converter time)
  --latency MS         the converter's latency timer before the host sets it
                       (default 16)
  --replug MS          a machine that dropped off the bus returns after MS
                       (default 3000)
  --state DIR          load firmware.bin, image.bin and items.txt from DIR if
                       present; write them and report.txt there on exit
  --ready-file FILE    write "HOST:PORT" to FILE once listening
  --verbose            trace opens, closes and refused input on stderr
)";

namespace {

bool ParseUnsigned(const std::string& s, unsigned long long max, unsigned long long* v)
{
    if (s.empty() || s.size() > 12 || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *v = std::strtoull(s.c_str(), nullptr, 10);
    return *v <= max;
}

bool ParseInt(const std::string& s, int* v)
{
    unsigned long long u = 0;
    if (s == "-1") {
        *v = -1;
        return true;
    }
    if (!ParseUnsigned(s, 1000000000ull, &u))
        return false;
    *v = int(u);
    return true;
}

bool ParseHex(const std::string& s, std::vector<uint8_t>* out)
{
    out->clear();
    if (s.size() % 2)
        return false;
    for (size_t i = 0; i < s.size(); i += 2) {
        auto digit = [](char c) {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return -1;
        };
        int hi = digit(s[i]), lo = digit(s[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out->push_back(uint8_t(hi * 16 + lo));
    }
    return true;
}

std::vector<std::string> Split(const std::string& s, char sep)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t at = s.find(sep, start);
        parts.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos)
            return parts;
        start = at + 1;
    }
}

} // namespace

bool ParseFault(const std::string& text, int* command, MachineFault* fault, std::string* error)
{
    std::vector<std::string> parts = Split(text, ':');
    auto fail = [&](const std::string& why) {
        *error = "fault \"" + text + "\": " + why;
        return false;
    };
    if (parts.size() < 2)
        return fail("expected CMD:KIND");
    std::vector<uint8_t> code;
    if (parts[0] == "any")
        *command = ANY_COMMAND;
    else if (ParseHex(parts[0], &code) && code.size() == 1)
        *command = code[0];
    else
        return fail("command must be two hex digits or any");
    static const std::pair<const char*, MachineFault::Kind> kinds[] = {
        {"refuse", MachineFault::Kind::Refuse},   {"delay", MachineFault::Kind::Delay},
        {"trickle", MachineFault::Kind::Trickle}, {"split", MachineFault::Kind::Split},
        {"merge", MachineFault::Kind::MergeWithNext}, {"garbage", MachineFault::Kind::Garbage},
        {"silent", MachineFault::Kind::Silent},   {"vanish", MachineFault::Kind::Vanish},
    };
    MachineFault f;
    bool known = false;
    for (auto& [name, kind] : kinds)
        if (parts[1] == name) {
            f.kind = kind;
            known = true;
        }
    if (!known)
        return fail("unknown kind " + parts[1]);
    for (size_t i = 2; i < parts.size(); ++i) {
        size_t eq = parts[i].find('=');
        if (eq == std::string::npos)
            return fail("expected key=value in " + parts[i]);
        std::string key = parts[i].substr(0, eq), value = parts[i].substr(eq + 1);
        unsigned long long u = 0;
        std::vector<uint8_t> bytes;
        if (key == "times") {
            if (!ParseInt(value, &f.times))
                return fail("bad times");
        } else if (key == "after") {
            if (!ParseInt(value, &f.after) || f.after < 0)
                return fail("bad after");
        } else if (key == "status") {
            if (!ParseHex(value, &bytes) || bytes.size() != 1)
                return fail("bad status");
            f.status = bytes[0];
        } else if (key == "ms") {
            if (!ParseUnsigned(value, 3600000, &u))
                return fail("bad ms");
            f.delayMs = uint32_t(u);
        } else if (key == "at") {
            if (!ParseUnsigned(value, 5000, &u))
                return fail("bad at");
            f.splitAt = size_t(u);
        } else if (key == "bytes") {
            if (!ParseHex(value, &f.garbage))
                return fail("bad bytes");
        } else {
            return fail("unknown key " + key);
        }
    }
    *fault = f;
    return true;
}

bool ParseSimArgs(const std::vector<std::string>& args, SimConfig* config, std::string* error)
{
    SimConfig c;
    c.listenAddrNet = net::InetAddr("127.0.0.1");
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= args.size()) {
                *error = a + " needs a value";
                return false;
            }
            *out = args[++i];
            return true;
        };
        std::string v;
        unsigned long long u = 0;
        if (a == "--help" || a == "-h") {
            c.help = true;
        } else if (a == "--listen") {
            if (!value(&v))
                return false;
            std::string host;
            uint16_t port = 0;
            uint32_t addr = 0xFFFFFFFFu;
            if (net::SplitHostPort(v, &host, &port) == net::HOSTPORT_OK)
                addr = net::InetAddr(host == "localhost" ? "127.0.0.1" : host);
            if (addr == 0xFFFFFFFFu) {
                *error = "--listen wants HOST:PORT with a dotted address, got " + v;
                return false;
            }
            c.listenAddrNet = addr;
            c.listenPort = port;
        } else if (a == "--device") {
            if (!value(&v))
                return false;
            // A converter's description holds at most 63 characters.
            if (v.empty() || v.size() > 63) {
                *error = "--device wants a description of 1 to 63 characters";
                return false;
            }
            c.devices.push_back(v);
        } else if (a == "--broken") {
            c.broken = true;
        } else if (a == "--identity") {
            std::vector<uint8_t> b;
            if (!value(&v))
                return false;
            if (!ParseHex(v, &b) || b.size() != 8) {
                *error = "--identity wants 16 hex digits";
                return false;
            }
            std::array<uint8_t, 8> id{};
            std::copy(b.begin(), b.end(), id.begin());
            c.identity = id;
        } else if (a == "--info-block") {
            std::vector<uint8_t> b;
            if (!value(&v))
                return false;
            if (!ParseHex(v, &b) || b.size() > 4990) {
                *error = "--info-block wants hex digits (at most 4990 bytes)";
                return false;
            }
            c.infoBlock = b;
        } else if (a == "--item" || a == "--drop-item") {
            if (!value(&v))
                return false;
            size_t eq = a == "--item" ? v.find('=') : v.size();
            if (eq == std::string::npos || !ParseUnsigned(v.substr(0, eq), 255, &u)) {
                *error = a + " wants N" + (a == "--item" ? "=TEXT" : "") + ", got " + v;
                return false;
            }
            if (a == "--item") {
                std::string text = v.substr(eq + 1);
                if (text.size() > 250) {
                    *error = "--item text is limited to 250 characters";
                    return false;
                }
                c.items[uint8_t(u)] = std::vector<uint8_t>(text.begin(), text.end());
            } else {
                c.dropItems.push_back(uint8_t(u));
            }
        } else if (a == "--fault") {
            if (!value(&v))
                return false;
            int command = 0;
            MachineFault f;
            if (!ParseFault(v, &command, &f, error))
                return false;
            c.faults.emplace_back(command, f);
        } else if (a == "--no-timing") {
            c.timing.enabled = false;
        } else if (a == "--latency" || a == "--replug") {
            if (!value(&v))
                return false;
            unsigned long long lo = a == "--latency" ? 2 : 0, hi = a == "--latency" ? 255 : 3600000;
            if (!ParseUnsigned(v, hi, &u) || u < lo) {
                *error = a + " out of range: " + v;
                return false;
            }
            (a == "--latency" ? c.timing.latencyMs : c.timing.replugMs) = uint32_t(u);
        } else if (a == "--state" || a == "--ready-file") {
            if (!value(&v))
                return false;
            (a == "--state" ? c.stateDir : c.readyFile) = v;
        } else if (a == "--verbose") {
            c.verbose = true;
        } else {
            *error = "unknown argument " + a;
            return false;
        }
    }
    if (c.devices.empty())
        c.devices.push_back("Vantorelle");
    *config = c;
    return true;
}

MachineState StartingState(const SimConfig& config)
{
    MachineState s = config.broken ? MachineState::Broken() : MachineState::Healthy();
    if (config.identity)
        s.identity = *config.identity;
    if (config.infoBlock)
        s.infoBlock = *config.infoBlock;
    for (auto& [n, text] : config.items)
        s.items[n] = text;
    for (uint8_t n : config.dropItems)
        s.items.erase(n);
    return s;
}

} // namespace vu::sim
