#include "sim/machine-sim/StateStore.h"

#include "sim/machine-sim/Sha256.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace vu::sim {

namespace fs = std::filesystem;

namespace {

bool ReadAll(const fs::path& path, std::vector<uint8_t>* out, uint64_t limit, std::string* error)
{
    std::error_code ec;
    uint64_t size = fs::file_size(path, ec);
    if (ec || size > limit) {
        *error = path.string() + (ec ? ": cannot read" : ": larger than the machine's storage");
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    out->resize(size_t(size));
    if (size && !in.read(reinterpret_cast<char*>(out->data()), std::streamsize(size))) {
        *error = path.string() + ": cannot read";
        return false;
    }
    return true;
}

bool WriteAll(const fs::path& path, const std::vector<uint8_t>& bytes, std::string* error)
{
    // Written beside and renamed, so a reader never sees half a file.
    fs::path temp = path;
    temp += ".part";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out || !out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()))) {
            *error = temp.string() + ": cannot write";
            return false;
        }
    }
    std::error_code ec;
    fs::rename(temp, path, ec);
    if (ec) {
        *error = path.string() + ": " + ec.message();
        return false;
    }
    return true;
}

std::string Hex(const std::vector<uint8_t>& b)
{
    std::string s;
    char two[3];
    for (uint8_t x : b) {
        std::snprintf(two, sizeof two, "%02X", x);
        s += two;
    }
    return s;
}

std::string Printable(const std::vector<uint8_t>& b)
{
    std::string s;
    for (uint8_t x : b)
        s += (x >= 0x20 && x < 0x7F) ? char(x) : '.';
    return s;
}

} // namespace

bool LoadMachineState(const fs::path& dir, MachineState* state, std::string* error)
{
    std::error_code ec;
    if (fs::exists(dir / "firmware.bin", ec) && !ReadAll(dir / "firmware.bin", &state->firmware, 16u << 20, error))
        return false;
    if (fs::exists(dir / "image.bin", ec) && !ReadAll(dir / "image.bin", &state->image, state->imageCapacity, error))
        return false;
    if (fs::exists(dir / "items.txt", ec)) {
        std::ifstream in(dir / "items.txt");
        std::map<uint8_t, std::vector<uint8_t>> items;
        std::string line;
        int lineNo = 0;
        while (std::getline(in, line)) {
            ++lineNo;
            if (line.empty() || line[0] == '#')
                continue;
            std::istringstream fields(line);
            unsigned n = 0;
            std::string hex;
            fields >> n >> hex;
            std::vector<uint8_t> value;
            bool ok = !fields.fail() && n <= 255 && hex.size() % 2 == 0 && hex.size() <= 500;
            for (size_t i = 0; ok && i < hex.size(); i += 2) {
                char* end = nullptr;
                std::string two = hex.substr(i, 2);
                unsigned long v = std::strtoul(two.c_str(), &end, 16);
                ok = end == two.c_str() + 2;
                value.push_back(uint8_t(v));
            }
            if (!ok) {
                *error = (dir / "items.txt").string() + ":" + std::to_string(lineNo) + ": expected \"N HEX\"";
                return false;
            }
            items[uint8_t(n)] = value;
        }
        state->items = items;
    }
    return true;
}

bool SaveMachineState(const fs::path& dir, const MachineState& state, std::string* error)
{
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (!WriteAll(dir / "firmware.bin", state.firmware, error) || !WriteAll(dir / "image.bin", state.image, error))
        return false;
    std::string items = "# information items: number, value in hex\n";
    for (auto& [n, value] : state.items)
        items += std::to_string(n) + " " + Hex(value) + "\n";
    return WriteAll(dir / "items.txt", std::vector<uint8_t>(items.begin(), items.end()), error);
}

std::string StateReport(const std::string& description, const MachineState& state, const WriteTally& tally)
{
    std::ostringstream r;
    r << "device \"" << description << "\"\n";
    r << "firmware " << state.firmware.size() << " bytes sha256 "
      << Sha256Hex(state.firmware.data(), state.firmware.size()) << "\n";
    r << "image " << state.image.size() << " bytes sha256 " << Sha256Hex(state.image.data(), state.image.size())
      << "\n";
    r << "written firmware " << tally.firmwareChunkBytes << " bytes in " << tally.firmwareChunks << " chunks, "
      << tally.firmwareCommits << " commits; image " << tally.imageBytes << " bytes in " << tally.sectorWrites
      << " sector writes; " << tally.itemWrites << " item writes; " << tally.cardCommands << " card reader commands; "
      << tally.refused << " refused; " << tally.restarts << " restarts\n";
    if (tally.sectorWrites > 1) {
        char span[32];
        std::snprintf(span, sizeof span, "%.3f", double(tally.lastSectorUs - tally.firstSectorUs) / 1e6);
        r << "sector writes from first to last " << span << " s\n";
    }
    for (auto& [n, value] : state.items)
        r << "item " << unsigned(n) << " \"" << Printable(value) << "\"\n";
    return r.str();
}

} // namespace vu::sim
