#include "sim/update-server/RequestPacket.h"

#include "platform/ToolVersion.h"

#include <cstdio>

namespace vu::sim {

namespace {

constexpr uint32_t MAX_FIELDS = 10;
constexpr uint32_t MAX_FIELD_BYTES = 100;

Bytes Utf16Le(const wchar_t* text)
{
    Bytes b;
    for (const wchar_t* p = text; *p; ++p) {
        b.push_back(uint8_t(*p));
        b.push_back(uint8_t(uint32_t(*p) >> 8));
    }
    return b;
}

std::string Describe(const char* what, size_t index, size_t got, size_t want)
{
    char buf[160];
    std::snprintf(buf, sizeof buf, "%s %zu has %zu bytes, expected %zu", what, index, got, want);
    return buf;
}

} // namespace

std::string HexText(const Bytes& bytes)
{
    std::string s;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
        s += buf;
    }
    return s;
}

bool ParseHex(const std::string& text, Bytes* out)
{
    out->clear();
    int high = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else if (c == ' ' || c == '\t' || c == ',' || c == ':') {
            if (high >= 0)
                return false;
            continue;
        } else
            return false;
        if (high < 0)
            high = v;
        else {
            out->push_back(uint8_t(high << 4 | v));
            high = -1;
        }
    }
    return high < 0;
}

bool ExpectedFieldSizes(const Bytes& tag, std::vector<int>* sizes)
{
    // -1: any length (the language field of the version query).
    static const struct { Bytes tag; std::vector<int> sizes; } kinds[] = {
        {{0x02, 0x01, 0x04}, {-1}},
        {{0x02, 0x01, 0x01}, {10, 5, 5}},
        {{0x02, 0x01, 0x03}, {10, 5, 5, 4, 4}},
        {{0x02, 0x01, 0x02}, {10, 5, 5, 4, 4}},
        {{0x07, 0x41}, {8, 61}},
        {{0x07, 0x42}, {8, 61, 8, 8, 8}},
    };
    for (const auto& k : kinds) {
        if (k.tag == tag) {
            *sizes = k.sizes;
            return true;
        }
    }
    return false;
}

ParsedRequest ParseRequest(const uint8_t* bytes, size_t count)
{
    ParsedRequest r;
    if (count < 13) {
        r.error = "packet of " + std::to_string(count) + " bytes, shorter than 13";
        return r;
    }
    r.totalLength = GetLe32(bytes);
    r.resumeOffset = GetLe32(bytes + 4);
    uint32_t n = GetLe32(bytes + 8);
    if (r.totalLength != count) {
        r.error = "total length word " + std::to_string(r.totalLength) + ", " + std::to_string(count) + " bytes received";
        return r;
    }
    if (n > MAX_FIELDS) {
        r.error = std::to_string(n) + " fields, more than 10";
        return r;
    }
    uint64_t expected = 13 + 4ull * n;
    if (expected > count) {
        r.error = "field length table reaches past the packet";
        return r;
    }
    std::vector<uint32_t> lengths;
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t len = GetLe32(bytes + 12 + 4 * i);
        if (len > MAX_FIELD_BYTES) {
            r.error = "field " + std::to_string(i) + " of " + std::to_string(len) + " bytes, more than 100";
            return r;
        }
        lengths.push_back(len);
        expected += len;
    }
    if (expected != count) {
        r.error = "field lengths add up to a packet of " + std::to_string(expected) + " bytes, not "
                  + std::to_string(count);
        return r;
    }
    if (bytes[count - 1] != 0) {
        r.error = "last byte is not 00";
        return r;
    }
    size_t at = 12 + 4 * size_t(n);
    for (uint32_t len : lengths) {
        r.fields.emplace_back(bytes + at, bytes + at + len);
        at += len;
    }
    if (n < 3) {
        r.error = "fewer than 3 fields";
        return r;
    }
    const Bytes& name = r.fields[1];
    if (name.size() % 2 != 0 || name.size() > 30) {
        r.error = "computer name field of " + std::to_string(name.size()) + " bytes is no UTF-16 name of 15 characters or less";
        return r;
    }
    if (r.fields[2] != Utf16Le(TOOL_VERSION_TEXT)) {
        const std::wstring version = TOOL_VERSION_TEXT;
        r.error = "version field is not \"" + std::string(version.begin(), version.end()) + "\" in UTF-16LE";
        return r;
    }
    std::vector<int> sizes;
    if (!ExpectedFieldSizes(r.fields[0], &sizes)) {
        r.error = "unknown request tag " + HexText(r.fields[0]);
        return r;
    }
    if (r.fields.size() != 3 + sizes.size()) {
        r.error = "tag " + HexText(r.fields[0]) + " with " + std::to_string(r.fields.size()) + " fields, expected "
                  + std::to_string(3 + sizes.size());
        return r;
    }
    for (size_t i = 0; i < sizes.size(); ++i) {
        if (sizes[i] >= 0 && r.fields[3 + i].size() != size_t(sizes[i])) {
            r.error = Describe("field", 3 + i, r.fields[3 + i].size(), size_t(sizes[i]));
            return r;
        }
    }
    r.ok = true;
    return r;
}

Bytes PackReply(const std::vector<Bytes>& records)
{
    size_t total = 8 + 4 * records.size();
    for (const Bytes& rec : records)
        total += rec.size();
    // The tool takes no reply shorter than 13 bytes; trailing bytes are not read.
    size_t padded = total < 13 ? 13 : total;
    Bytes out;
    out.reserve(padded);
    AppendLe32(out, uint32_t(padded));
    AppendLe32(out, uint32_t(records.size()));
    for (const Bytes& rec : records)
        AppendLe32(out, uint32_t(rec.size()));
    for (const Bytes& rec : records)
        out.insert(out.end(), rec.begin(), rec.end());
    out.resize(padded, 0);
    return out;
}

Bytes PackRequest(const std::vector<Bytes>& fields, uint32_t resumeOffset)
{
    size_t total = 13 + 4 * fields.size();
    for (const Bytes& f : fields)
        total += f.size();
    Bytes out;
    AppendLe32(out, uint32_t(total));
    AppendLe32(out, resumeOffset);
    AppendLe32(out, uint32_t(fields.size()));
    for (const Bytes& f : fields)
        AppendLe32(out, uint32_t(f.size()));
    for (const Bytes& f : fields)
        out.insert(out.end(), f.begin(), f.end());
    out.push_back(0);
    return out;
}

} // namespace vu::sim
