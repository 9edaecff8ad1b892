#include "sim/update-server/Faults.h"

#include <sstream>

namespace vu::sim {

namespace {

const struct { FaultKind kind; const char* name; int args; } kKinds[] = {
    {FaultKind::Close, "close", 0},
    {FaultKind::Stall, "stall", 1},
    {FaultKind::Cut, "cut", 1},
    {FaultKind::CutStall, "cut-stall", 2},
    {FaultKind::CutReset, "cut-reset", 1},
    {FaultKind::WrongTotal, "wrong-total", -1},
    {FaultKind::BeyondBuffer, "beyond-buffer", 0},
    {FaultKind::TooManyRecords, "too-many-records", 0},
    {FaultKind::LongRecord, "long-record", 0},
    {FaultKind::Oversize, "oversize", 0},
    {FaultKind::Raw, "raw", 1},
};

bool ToNumber(const std::string& s, uint32_t* v)
{
    if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos || s.size() > 10)
        return false;
    unsigned long long n = std::stoull(s);
    if (n > 0xFFFFFFFFull)
        return false;
    *v = uint32_t(n);
    return true;
}

} // namespace

bool ParseFault(const std::string& text, Fault* fault, std::string* error)
{
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w);
    if (words.empty()) {
        *error = "empty fault";
        return false;
    }
    Fault f;
    int args = -2;
    for (const auto& k : kKinds) {
        if (words[0] == k.name) {
            f.kind = k.kind;
            args = k.args;
        }
    }
    if (args == -2) {
        *error = "unknown fault '" + words[0] + "'";
        return false;
    }
    std::vector<std::string> positional;
    for (size_t i = 1; i < words.size(); ++i) {
        const std::string& w = words[i];
        size_t eq = w.find('=');
        if (eq == std::string::npos) {
            positional.push_back(w);
            continue;
        }
        std::string key = w.substr(0, eq), value = w.substr(eq + 1);
        uint32_t n = 0;
        if (key == "count" && value == "all")
            f.count = 0;
        else if (key == "count" && ToNumber(value, &n) && n > 0)
            f.count = int(n);
        else if (key == "skip" && ToNumber(value, &n))
            f.skip = int(n);
        else if (key == "tag" && ParseHex(value, &f.tag) && !f.tag.empty())
            ;
        else {
            *error = "bad option '" + w + "' in fault '" + text + "'";
            return false;
        }
    }
    size_t want = args < 0 ? positional.size() : size_t(args);
    if (positional.size() != want || (args < 0 && positional.size() > 1)) {
        *error = "fault '" + words[0] + "' takes " + std::to_string(args < 0 ? 1 : args) + " argument(s)";
        return false;
    }
    bool ok = true;
    switch (f.kind) {
    case FaultKind::Stall: ok = ToNumber(positional[0], &f.ms); break;
    case FaultKind::Cut:
    case FaultKind::CutReset: ok = ToNumber(positional[0], &f.bytes); break;
    case FaultKind::CutStall: ok = ToNumber(positional[0], &f.bytes) && ToNumber(positional[1], &f.ms); break;
    case FaultKind::WrongTotal: ok = positional.empty() || ToNumber(positional[0], &f.bytes); break;
    case FaultKind::Raw: ok = ParseHex(positional[0], &f.raw); break;
    default: break;
    }
    if (!ok) {
        *error = "bad argument in fault '" + text + "'";
        return false;
    }
    *fault = f;
    return true;
}

bool ParseFaultList(const std::string& text, std::vector<Fault>* faults, std::string* error)
{
    std::istringstream in(text);
    int lineNo = 0;
    for (std::string line; std::getline(in, line);) {
        ++lineNo;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t b = line.find_first_not_of(" \t");
        if (b == std::string::npos || line[b] == '#')
            continue;
        Fault f;
        if (!ParseFault(line, &f, error)) {
            *error = "line " + std::to_string(lineNo) + ": " + *error;
            return false;
        }
        faults->push_back(f);
    }
    return true;
}

std::string DescribeFault(const Fault& f)
{
    std::string s;
    for (const auto& k : kKinds)
        if (k.kind == f.kind)
            s = k.name;
    switch (f.kind) {
    case FaultKind::Stall: s += " " + std::to_string(f.ms); break;
    case FaultKind::Cut:
    case FaultKind::CutReset: s += " " + std::to_string(f.bytes); break;
    case FaultKind::CutStall: s += " " + std::to_string(f.bytes) + " " + std::to_string(f.ms); break;
    case FaultKind::WrongTotal: if (f.bytes) s += " " + std::to_string(f.bytes); break;
    case FaultKind::Raw: s += " (" + std::to_string(f.raw.size()) + " bytes)"; break;
    default: break;
    }
    return s;
}

Bytes FaultyReply(const Fault& fault, const Bytes& realReply)
{
    switch (fault.kind) {
    case FaultKind::WrongTotal: {
        Bytes r = realReply;
        uint32_t declared = fault.bytes ? fault.bytes : uint32_t(r.size() + 100);
        for (int i = 0; i < 4 && size_t(i) < r.size(); ++i)
            r[size_t(i)] = uint8_t(declared >> (8 * i));
        return r;
    }
    case FaultKind::BeyondBuffer: {
        // Record 1 claims 1000 bytes; only 10 follow, and the total word matches what is sent.
        Bytes r;
        AppendLe32(r, 0);
        AppendLe32(r, 2);
        AppendLe32(r, 4);
        AppendLe32(r, 1000);
        for (int i = 0; i < 14; ++i)
            r.push_back(uint8_t(i));
        uint32_t n = uint32_t(r.size());
        for (int i = 0; i < 4; ++i)
            r[size_t(i)] = uint8_t(n >> (8 * i));
        return r;
    }
    case FaultKind::TooManyRecords:
        return PackReply(std::vector<Bytes>(12001, Bytes{0x5A}));
    case FaultKind::LongRecord:
        return PackReply({Bytes{0x00, 0x00, 0x00, 0x00}, Bytes(1101, 0x4C)});
    case FaultKind::Oversize: {
        Bytes r = PackReply({Bytes{0x00, 0x00, 0x00, 0x00}});
        r.resize(20'000'001, 0);
        for (int i = 0; i < 4; ++i)
            r[size_t(i)] = uint8_t(r.size() >> (8 * i));
        return r;
    }
    case FaultKind::Raw:
        return fault.raw;
    default:
        return realReply;
    }
}

} // namespace vu::sim
