#include "tests/testsupport/ScriptedDriver.h"

#include "platform/Platform.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vu::test {

std::vector<uint8_t> Hex(const std::string& text)
{
    std::vector<uint8_t> bytes;
    int high = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            continue;
        if (high < 0) {
            high = v;
        } else {
            bytes.push_back(uint8_t(high * 16 + v));
            high = -1;
        }
    }
    return bytes;
}

std::string HexText(const uint8_t* bytes, size_t count)
{
    std::string text;
    char pair[4];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
        if (i)
            text += ' ';
        text += pair;
    }
    return text;
}

std::string HexText(const std::vector<uint8_t>& bytes) { return HexText(bytes.data(), bytes.size()); }

std::vector<uint8_t> MakeFrame(const std::vector<uint8_t>& payload)
{
    size_t total = payload.size() + 5;
    std::vector<uint8_t> frame(total, 0);
    frame[0] = uint8_t(total);
    frame[1] = uint8_t(total >> 8);
    frame[2] = uint8_t(payload.size());
    frame[3] = uint8_t(payload.size() >> 8);
    if (!payload.empty())
        std::memcpy(frame.data() + 4, payload.data(), payload.size());
    uint8_t check = 0;
    for (size_t i = 0; i + 1 < total; ++i)
        check ^= frame[i];
    frame[total - 1] = check;
    return frame;
}

std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

ScriptedDriver::ScriptedDriver(ISystemServices& clock) : m_clock(clock), m_descriptions{"Vantorelle"} {}

FT_HANDLE ScriptedDriver::HandleFor(size_t index) { return reinterpret_cast<FT_HANDLE>(uintptr_t(0x1000 + index)); }

uint64_t ScriptedDriver::NowUs() const
{
    uint64_t freq = m_clock.PerformanceFrequency();
    uint64_t counter = m_clock.PerformanceCounter();
    if (freq == 1'000'000 || freq == 0)
        return counter;
    return uint64_t((long double)counter * 1'000'000.0L / (long double)freq);
}

void ScriptedDriver::SetAttached(std::vector<std::string> descriptions)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_descriptions = std::move(descriptions);
}

void ScriptedDriver::FailCall(const std::string& op, FT_STATUS status, int times, int after)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_failures.insert({op, Failure{status, times, after}});
}

void ScriptedDriver::AnswerNextWrite(Reply reply)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_answers.push_back(std::move(reply));
}

void ScriptedDriver::SetResponder(Responder responder)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_responder = std::move(responder);
}

void ScriptedDriver::Queue(Reply reply)
{
    std::lock_guard<std::mutex> lock(m_lock);
    QueueLocked(reply);
}

void ScriptedDriver::QueueLocked(const Reply& reply)
{
    uint64_t at = NowUs();
    for (const Chunk& c : reply) {
        at += uint64_t(c.delayMs) * 1000;
        if (!c.bytes.empty())
            m_queue.push_back(Pending{c.bytes, at});
    }
}

std::vector<std::string> ScriptedDriver::Calls() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_calls;
}

std::vector<std::string> ScriptedDriver::CallsOf(std::initializer_list<std::string> ops) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<std::string> kept;
    for (const std::string& c : m_calls) {
        std::string op = c.substr(0, c.find(' '));
        if (std::find(ops.begin(), ops.end(), op) != ops.end())
            kept.push_back(c);
    }
    return kept;
}

size_t ScriptedDriver::CountOf(const std::string& op) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return size_t(std::count_if(m_calls.begin(), m_calls.end(),
                                [&](const std::string& c) { return c.substr(0, c.find(' ')) == op; }));
}

void ScriptedDriver::ClearCalls()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_calls.clear();
    m_writes.clear();
}

void ScriptedDriver::Note(const std::string& line)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_calls.push_back(line);
}

std::vector<std::vector<uint8_t>> ScriptedDriver::Writes() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_writes;
}

uint32_t ScriptedDriver::BaudRate() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_baud;
}

size_t ScriptedDriver::QueuedBytes() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    size_t n = 0;
    for (const Pending& p : m_queue)
        n += p.bytes.size();
    return n;
}

bool ScriptedDriver::IsOpen() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_openIndex >= 0;
}

FT_STATUS ScriptedDriver::Call(const std::string& op, const std::string& line)
{
    m_calls.push_back(line);
    auto range = m_failures.equal_range(op);
    for (auto it = range.first; it != range.second; ++it) {
        Failure& f = it->second;
        if (f.after > 0) {
            --f.after;
            continue;
        }
        if (f.times != 0) {
            if (f.times > 0)
                --f.times;
            return f.status;
        }
    }
    return FT_OK;
}

bool ScriptedDriver::HandleOk(FT_HANDLE h) const
{
    return m_openIndex >= 0 && h == HandleFor(size_t(m_openIndex));
}

FT_STATUS ScriptedDriver::ListDevicesCount(uint32_t* count)
{
    std::lock_guard<std::mutex> lock(m_lock);
    FT_STATUS st = Call("ListDevices", "ListDevices");
    if (count)
        *count = st == FT_OK ? uint32_t(m_descriptions.size()) : 0;
    return st;
}

FT_STATUS ScriptedDriver::OpenByDescription(const char* description, FT_HANDLE* handle)
{
    std::lock_guard<std::mutex> lock(m_lock);
    std::string wanted = description ? description : "";
    FT_STATUS st = Call("OpenEx", "OpenEx " + wanted);
    if (st != FT_OK)
        return st;
    for (size_t i = 0; i < m_descriptions.size(); ++i) {
        if (m_descriptions[i] == wanted && int(i) != m_openIndex) {
            if (m_openIndex >= 0)
                return FT_DEVICE_NOT_OPENED; // one handle at a time is all a link test needs
            m_openIndex = int(i);
            *handle = HandleFor(i);
            return FT_OK;
        }
    }
    return FT_DEVICE_NOT_FOUND;
}

FT_STATUS ScriptedDriver::SetDataCharacteristics(FT_HANDLE h, uint8_t wordLength, uint8_t stopBits, uint8_t parity)
{
    std::lock_guard<std::mutex> lock(m_lock);
    FT_STATUS st = Call("SetDataCharacteristics", "SetDataCharacteristics " + std::to_string(wordLength) + " "
                                                      + std::to_string(stopBits) + " " + std::to_string(parity));
    if (!HandleOk(h))
        return FT_INVALID_HANDLE;
    return st;
}

FT_STATUS ScriptedDriver::SetBaudRate(FT_HANDLE h, uint32_t baud)
{
    std::lock_guard<std::mutex> lock(m_lock);
    FT_STATUS st = Call("SetBaudRate", "SetBaudRate " + std::to_string(baud));
    if (!HandleOk(h))
        return FT_INVALID_HANDLE;
    if (st == FT_OK)
        m_baud = baud;
    return st;
}

FT_STATUS ScriptedDriver::Write(FT_HANDLE h, const void* data, uint32_t count, uint32_t* written)
{
    Responder responder;
    std::vector<uint8_t> bytes(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + count);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (written)
            *written = 0;
        FT_STATUS st = Call("Write", bytes.empty() ? "Write" : "Write " + HexText(bytes));
        if (!HandleOk(h))
            return FT_INVALID_HANDLE;
        if (st != FT_OK)
            return st;
        if (written)
            *written = count;
        m_writes.push_back(bytes);
        if (!m_answers.empty()) {
            Reply reply = std::move(m_answers.front());
            m_answers.pop_front();
            QueueLocked(reply);
            return FT_OK;
        }
        responder = m_responder;
    }
    // The responder runs unlocked, so it may use the driver's own helpers.
    if (responder) {
        Reply reply = responder(bytes);
        std::lock_guard<std::mutex> lock(m_lock);
        QueueLocked(reply);
    }
    return FT_OK;
}

FT_STATUS ScriptedDriver::GetStatus(FT_HANDLE h, uint32_t* rxQueue, uint32_t* txQueue, uint32_t* events)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (txQueue)
        *txQueue = 0;
    if (events)
        *events = 0;
    if (rxQueue)
        *rxQueue = 0;
    if (!HandleOk(h))
        return FT_INVALID_HANDLE;
    // Polls are not recorded, but can still be scripted to fail.
    auto range = m_failures.equal_range("GetStatus");
    for (auto it = range.first; it != range.second; ++it) {
        Failure& f = it->second;
        if (f.after > 0) {
            --f.after;
            continue;
        }
        if (f.times != 0) {
            if (f.times > 0)
                --f.times;
            return f.status;
        }
    }
    if (!m_queue.empty() && m_queue.front().readyUs <= NowUs() && rxQueue)
        *rxQueue = uint32_t(m_queue.front().bytes.size());
    return FT_OK;
}

FT_STATUS ScriptedDriver::Read(FT_HANDLE h, void* buffer, uint32_t count, uint32_t* returned)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (returned)
        *returned = 0;
    FT_STATUS st = Call("Read", "Read " + std::to_string(count));
    if (!HandleOk(h))
        return FT_INVALID_HANDLE;
    if (st != FT_OK)
        return st;
    if (m_queue.empty() || m_queue.front().readyUs > NowUs())
        return FT_OK;
    Pending& front = m_queue.front();
    uint32_t n = std::min<uint32_t>(count, uint32_t(front.bytes.size()));
    std::memcpy(buffer, front.bytes.data(), n);
    front.bytes.erase(front.bytes.begin(), front.bytes.begin() + n);
    if (front.bytes.empty())
        m_queue.pop_front();
    if (returned)
        *returned = n;
    return FT_OK;
}

FT_STATUS ScriptedDriver::ResetDevice(FT_HANDLE h)
{
    std::lock_guard<std::mutex> lock(m_lock);
    FT_STATUS st = Call("ResetDevice", "ResetDevice");
    return HandleOk(h) ? st : FT_INVALID_HANDLE;
}

FT_STATUS ScriptedDriver::SetBitMode(FT_HANDLE h, uint8_t mask, uint8_t mode)
{
    std::lock_guard<std::mutex> lock(m_lock);
    char text[32];
    std::snprintf(text, sizeof text, "SetBitMode %02X %02X", mask, mode);
    FT_STATUS st = Call("SetBitMode", text);
    return HandleOk(h) ? st : FT_INVALID_HANDLE;
}

FT_STATUS ScriptedDriver::SetBreakOn(FT_HANDLE h)
{
    std::lock_guard<std::mutex> lock(m_lock);
    FT_STATUS st = Call("SetBreakOn", "SetBreakOn");
    return HandleOk(h) ? st : FT_INVALID_HANDLE;
}

FT_STATUS ScriptedDriver::SetBreakOff(FT_HANDLE h)
{
    std::lock_guard<std::mutex> lock(m_lock);
    FT_STATUS st = Call("SetBreakOff", "SetBreakOff");
    return HandleOk(h) ? st : FT_INVALID_HANDLE;
}

FT_STATUS ScriptedDriver::Purge(FT_HANDLE h, uint32_t mask)
{
    std::lock_guard<std::mutex> lock(m_lock);
    FT_STATUS st = Call("Purge", "Purge " + std::to_string(mask));
    if (!HandleOk(h))
        return FT_INVALID_HANDLE;
    if (st == FT_OK && (mask & FT_PURGE_RX))
        m_queue.clear();
    return st;
}

FT_STATUS ScriptedDriver::Close(FT_HANDLE h)
{
    std::lock_guard<std::mutex> lock(m_lock);
    FT_STATUS st = Call("Close", "Close");
    if (!HandleOk(h))
        return FT_INVALID_HANDLE;
    m_openIndex = -1;
    m_queue.clear();
    return st;
}

FT_STATUS ScriptedDriver::ListDescriptions(std::vector<std::string>* descriptions)
{
    std::lock_guard<std::mutex> lock(m_lock);
    *descriptions = m_descriptions;
    return FT_OK;
}

} // namespace vu::test
