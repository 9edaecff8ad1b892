// A scripted FTDI driver for link tests: it records every call as readable
// text ("SetBitMode F1 20", "Write 06 00 01 00 D1 D6"), knows a list of
// attached descriptions, fails chosen calls with chosen statuses, and answers
// writes with scripted bytes that then wait in the receive queue, whole or in
// chunks, each chunk optionally after a delay (measured on the clock it is
// given, so the virtual clock makes delays free).
//
// Record of calls, one string each:
//   "ListDevices", "OpenEx <description>", "SetDataCharacteristics 8 0 0",
//   "SetBaudRate <rate>", "Write <hex bytes>", "Read <count asked>",
//   "ResetDevice", "SetBitMode <mask hex> <mode hex>", "SetBreakOn",
//   "SetBreakOff", "Purge <mask>", "Close"; GetStatus polls are not recorded.
//   A RecordingSystem adds "Sleep <ms>" for every pause.
#pragma once

#include "device/FtdiDriver.h"
#include "tests/testsupport/VirtualSystem.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace vu::test {

// "06 00 01 00 D1 D6" -> bytes (spaces optional between pairs).
std::vector<uint8_t> Hex(const std::string& text);
// bytes -> "06 00 01 00 D1 D6".
std::string HexText(const std::vector<uint8_t>& bytes);
std::string HexText(const uint8_t* bytes, size_t count);
// A frame as the machine sends it: length, payload length, payload, check byte.
std::vector<uint8_t> MakeFrame(const std::vector<uint8_t>& payload);
// Concatenation, for replies that carry several frames.
std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts);

class ScriptedDriver : public IFtdiDriver {
public:
    // One piece of an answer: it becomes readable delayMs after the piece
    // before it (or after the write, for the first), and is delivered by a
    // read of its own.
    struct Chunk {
        std::vector<uint8_t> bytes;
        uint32_t delayMs = 0;
    };
    using Reply = std::vector<Chunk>;
    using Responder = std::function<Reply(const std::vector<uint8_t>& written)>;

    // Starts with one attached device described "Vantorelle"; answers are
    // timed on clock.
    explicit ScriptedDriver(ISystemServices& clock);

    void SetAttached(std::vector<std::string> descriptions);

    // The next `times` calls of op (the first word of its record, e.g.
    // "Write", "ResetDevice", "OpenEx"), after `after` calls that succeed,
    // return status. times < 0: every call from then on.
    void FailCall(const std::string& op, FT_STATUS status, int times = 1, int after = 0);

    // Answers, one per successful write, in order; when none is left the
    // responder (if any) is asked.
    void AnswerNextWrite(Reply reply);
    void AnswerNextWrite(const std::vector<uint8_t>& bytes) { AnswerNextWrite(Reply{{bytes, 0}}); }
    void SetResponder(Responder responder);
    // Bytes in the receive queue now, without a write.
    void Queue(Reply reply);
    void Queue(const std::vector<uint8_t>& bytes) { Queue(Reply{{bytes, 0}}); }

    // Everything recorded, and a view that keeps only the calls of some ops.
    std::vector<std::string> Calls() const;
    std::vector<std::string> CallsOf(std::initializer_list<std::string> ops) const;
    size_t CountOf(const std::string& op) const;
    void ClearCalls();
    // Adds a line of the test's own to the record (pauses, markers).
    void Note(const std::string& line);

    // Each successful write's bytes, in order.
    std::vector<std::vector<uint8_t>> Writes() const;
    uint32_t BaudRate() const;       // last rate set on the open handle
    size_t QueuedBytes() const;      // bytes not yet read
    bool IsOpen() const;

    // IFtdiDriver
    FT_STATUS ListDevicesCount(uint32_t* count) override;
    FT_STATUS OpenByDescription(const char* description, FT_HANDLE* handle) override;
    FT_STATUS SetDataCharacteristics(FT_HANDLE h, uint8_t wordLength, uint8_t stopBits, uint8_t parity) override;
    FT_STATUS SetBaudRate(FT_HANDLE h, uint32_t baud) override;
    FT_STATUS Write(FT_HANDLE h, const void* data, uint32_t count, uint32_t* written) override;
    FT_STATUS GetStatus(FT_HANDLE h, uint32_t* rxQueue, uint32_t* txQueue, uint32_t* events) override;
    FT_STATUS Read(FT_HANDLE h, void* buffer, uint32_t count, uint32_t* returned) override;
    FT_STATUS ResetDevice(FT_HANDLE h) override;
    FT_STATUS SetBitMode(FT_HANDLE h, uint8_t mask, uint8_t mode) override;
    FT_STATUS SetBreakOn(FT_HANDLE h) override;
    FT_STATUS SetBreakOff(FT_HANDLE h) override;
    FT_STATUS Purge(FT_HANDLE h, uint32_t mask) override;
    FT_STATUS Close(FT_HANDLE h) override;
    FT_STATUS ListDescriptions(std::vector<std::string>* descriptions) override;

    // The handle OpenByDescription hands out for the attached device at index.
    static FT_HANDLE HandleFor(size_t index);

private:
    struct Pending {
        std::vector<uint8_t> bytes;
        uint64_t readyUs;
    };
    struct Failure {
        FT_STATUS status;
        int times;
        int after;
    };

    // Records line and returns the scripted failure for op, or FT_OK.
    FT_STATUS Call(const std::string& op, const std::string& line);
    bool HandleOk(FT_HANDLE h) const;
    void QueueLocked(const Reply& reply);
    uint64_t NowUs() const;

    ISystemServices& m_clock;
    mutable std::mutex m_lock;
    std::vector<std::string> m_descriptions;
    int m_openIndex = -1;
    std::vector<std::string> m_calls;
    std::multimap<std::string, Failure> m_failures;
    std::deque<Reply> m_answers;
    Responder m_responder;
    std::deque<Pending> m_queue;
    std::vector<std::vector<uint8_t>> m_writes;
    uint32_t m_baud = 0;
};

// A virtual clock that also writes "Sleep <ms>" into a driver's record, so a
// test can see the pauses between driver calls.
class RecordingSystem : public VirtualSystem {
public:
    // The driver whose record takes the pauses (made after the clock, which it is timed on).
    void RecordInto(ScriptedDriver& driver) { m_pDriver = &driver; }
    void Sleep(uint32_t ms) override
    {
        if (m_pDriver)
            m_pDriver->Note("Sleep " + std::to_string(ms));
        VirtualSystem::Sleep(ms);
    }

private:
    ScriptedDriver* m_pDriver = nullptr;
};

} // namespace vu::test
