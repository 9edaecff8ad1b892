#include "sim/update-server/UpdateContent.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <system_error>

namespace vu::sim {

namespace {

constexpr size_t MAX_RECORDS = 12000;
constexpr size_t MAX_RECORD_BYTES = 1100;
constexpr size_t MAX_REPLY_BYTES = 20'000'000;

Bytes Header(const Bytes& tag)
{
    Bytes h = tag;
    h.push_back(0x00);
    return h;
}

Bytes Pattern(size_t n, uint32_t seed)
{
    Bytes b(n);
    uint32_t x = seed;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b[i] = uint8_t(x >> 11);
    }
    return b;
}

void Slices(const Bytes& data, size_t from, size_t to, size_t slice, std::vector<Bytes>* out)
{
    for (size_t at = from; at < to; at += slice)
        out->emplace_back(data.begin() + long(at), data.begin() + long(std::min(to, at + slice)));
}

bool ReadFile(const std::filesystem::path& path, Bytes* out, bool* exists, std::string* error)
{
    std::error_code ec;
    *exists = std::filesystem::exists(path, ec);
    out->clear();
    if (!*exists)
        return true;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read " + path.string();
        return false;
    }
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool WriteFile(const std::filesystem::path& path, const Bytes& bytes, std::string* error)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out) {
        *error = "cannot write " + path.string();
        return false;
    }
    return true;
}

std::vector<std::string> Lines(const Bytes& text)
{
    std::vector<std::string> lines;
    std::string line;
    for (uint8_t c : text) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else if (c != '\r') {
            line.push_back(char(c));
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

// One record per line of hex pairs; blank lines and lines starting with # are skipped.
bool ReadHexRecords(const std::filesystem::path& path, std::vector<Bytes>* out, std::string* error)
{
    Bytes text;
    bool exists = false;
    out->clear();
    if (!ReadFile(path, &text, &exists, error))
        return false;
    if (!exists)
        return true;
    int lineNo = 0;
    for (const std::string& line : Lines(text)) {
        ++lineNo;
        size_t b = line.find_first_not_of(" \t");
        if (b == std::string::npos || line[b] == '#')
            continue;
        Bytes rec;
        if (!ParseHex(line, &rec)) {
            *error = path.string() + ":" + std::to_string(lineNo) + ": not hex byte pairs";
            return false;
        }
        out->push_back(rec);
    }
    return true;
}

Bytes HexRecordsText(const std::vector<Bytes>& records, const char* comment)
{
    std::string s = std::string("# ") + comment + "\n";
    for (const Bytes& r : records)
        s += HexText(r) + "\n";
    return Bytes(s.begin(), s.end());
}

bool CheckRecords(const char* what, const std::vector<Bytes>& records, std::string* error)
{
    size_t total = 8 + 4 * records.size();
    if (records.size() > MAX_RECORDS) {
        *error = std::string(what) + ": " + std::to_string(records.size()) + " records, more than 12000";
        return false;
    }
    for (size_t i = 0; i < records.size(); ++i) {
        total += records[i].size();
        if (records[i].size() > MAX_RECORD_BYTES) {
            *error = std::string(what) + ": record " + std::to_string(i) + " has " + std::to_string(records[i].size())
                     + " bytes, more than 1100";
            return false;
        }
    }
    if (total > MAX_REPLY_BYTES) {
        *error = std::string(what) + ": reply of " + std::to_string(total) + " bytes, more than 20000000";
        return false;
    }
    return true;
}

} // namespace

Bytes MachineFrame(const Bytes& payload)
{
    size_t l = payload.size() + 5;
    Bytes f(l - 1);
    f[0] = uint8_t(l);
    f[1] = uint8_t(l >> 8);
    f[2] = uint8_t(payload.size());
    f[3] = uint8_t(payload.size() >> 8);
    std::copy(payload.begin(), payload.end(), f.begin() + 4);
    uint8_t check = 0;
    for (uint8_t b : f)
        check ^= b;
    f.push_back(check);
    return f;
}

Bytes WriteItem6Frame(const std::string& value5)
{
    Bytes payload{0xA0, 0x06, 0x02};
    for (size_t i = 0; i < 5; ++i)
        payload.push_back(i < value5.size() ? uint8_t(value5[i]) : 0);
    return MachineFrame(payload);
}

UpdateContent MakeDemoContent(size_t firmwareBytes, size_t imageBytes, const std::string& value5)
{
    UpdateContent c;
    c.notes = {"Vantorelle firmware V2.30\r\n", "- Faster key cutting on double-sided blades.\r\n",
               "- New picture set for the main interface.\r\n"};
    c.firmwareHeader = {0x00};
    for (size_t i = 0; i < 5; ++i)
        c.firmwareHeader.push_back(i < value5.size() ? uint8_t(value5[i]) : 0);
    c.firmware = Pattern(firmwareBytes, 0x1234567u);
    c.image = Pattern(imageBytes, 0x89ABCDEu);
    c.playback = {WriteItem6Frame(value5), WriteItem6Frame(value5), WriteItem6Frame(value5)};
    c.card = {{0x00, 0xA4, 0x04, 0x00, 0x06, 0x83, 0x46, 0x75, 0x23, 0x61, 0x01},
              {0x80, 0xE2, 0x00, 0x00, 0x04, 0x11, 0x22, 0x33, 0x44},
              {0x80, 0xCA, 0x00, 0x66, 0x00}};
    return c;
}

std::vector<Bytes> ReplyRecords(const UpdateContent& content, const ParsedRequest& request)
{
    const Bytes& tag = request.fields[0];
    std::vector<Bytes> out;
    if (tag == Bytes{0x02, 0x01, 0x04}) {
        out.push_back(Header(tag));
        for (const std::string& note : content.notes) {
            Bytes b(note.begin(), note.end());
            Slices(b, 0, b.size(), MAX_RECORD_BYTES, &out);
        }
    } else if (tag == Bytes{0x02, 0x01, 0x01}) {
        Bytes header = content.firmwareHeader;
        if (header.empty()) {
            // 10 bytes or more: the tool writes no item 6 after the firmware.
            header = Header(tag);
            header.resize(10, 0);
        }
        out.push_back(header);
        Slices(content.firmware, 0, content.firmware.size(), FIRMWARE_CHUNK_BYTES, &out);
    } else if (tag == Bytes{0x02, 0x01, 0x03}) {
        out.push_back(Header(tag));
        Bytes size;
        AppendLe32(size, uint32_t(content.image.size()));
        out.push_back(size);
    } else if (tag == Bytes{0x02, 0x01, 0x02}) {
        out.push_back(Header(tag));
        uint64_t offset = GetLe32(request.fields[6].data());
        uint64_t size = GetLe32(request.fields[7].data());
        uint64_t end = std::min<uint64_t>(offset + size, content.image.size());
        if (offset < end)
            Slices(content.image, size_t(offset), size_t(end), IMAGE_SLICE_BYTES, &out);
    } else if (tag == Bytes{0x07, 0x41}) {
        out = content.playback;
    } else if (tag == Bytes{0x07, 0x42}) {
        out = content.card;
    }
    return out;
}

bool CheckContent(const UpdateContent& content, std::string* error)
{
    std::vector<Bytes> fw{content.firmwareHeader};
    Slices(content.firmware, 0, content.firmware.size(), FIRMWARE_CHUNK_BYTES, &fw);
    std::vector<Bytes> notes{Bytes(4)};
    for (const std::string& n : content.notes) {
        Bytes b(n.begin(), n.end());
        Slices(b, 0, b.size(), MAX_RECORD_BYTES, &notes);
    }
    return CheckRecords("firmware", fw, error) && CheckRecords("notes", notes, error)
           && CheckRecords("playback", content.playback, error) && CheckRecords("card", content.card, error);
}

bool LoadContent(const std::filesystem::path& dir, UpdateContent* content, std::string* error)
{
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) {
        *error = dir.string() + " is no folder";
        return false;
    }
    UpdateContent c;
    Bytes bytes;
    bool exists = false;
    if (!ReadFile(dir / "notes.txt", &bytes, &exists, error))
        return false;
    for (const std::string& line : Lines(bytes))
        c.notes.push_back(line + "\r\n");
    if (!ReadFile(dir / "firmware-header.bin", &c.firmwareHeader, &exists, error)
        || !ReadFile(dir / "firmware.bin", &c.firmware, &exists, error)
        || !ReadFile(dir / "image.bin", &c.image, &exists, error)
        || !ReadHexRecords(dir / "playback.hex", &c.playback, error)
        || !ReadHexRecords(dir / "card.hex", &c.card, error))
        return false;
    if (!CheckContent(c, error))
        return false;
    *content = std::move(c);
    return true;
}

bool SaveContent(const UpdateContent& content, const std::filesystem::path& dir, std::string* error)
{
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        *error = "cannot make " + dir.string() + ": " + ec.message();
        return false;
    }
    std::string notes;
    for (std::string n : content.notes) {
        while (!n.empty() && (n.back() == '\n' || n.back() == '\r'))
            n.pop_back();
        notes += n + "\n";
    }
    return WriteFile(dir / "notes.txt", Bytes(notes.begin(), notes.end()), error)
           && WriteFile(dir / "firmware-header.bin", content.firmwareHeader, error)
           && WriteFile(dir / "firmware.bin", content.firmware, error)
           && WriteFile(dir / "image.bin", content.image, error)
           && WriteFile(dir / "playback.hex",
                        HexRecordsText(content.playback, "07 41 playback: one ready-made machine frame per line"),
                        error)
           && WriteFile(dir / "card.hex", HexRecordsText(content.card, "07 42 card: one command APDU per line"), error);
}

} // namespace vu::sim
