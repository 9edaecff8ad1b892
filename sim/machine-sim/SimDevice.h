// One attached converter and the machine behind it, with the time the bytes
// take: the wire at the current rate (10 bits a byte), the machine's own time
// per command, and the converter's hand-over of received bytes (when 62 have
// gathered, when the latency timer runs out, or at once on the enabled event
// character). Every call carries the current time in microseconds, so the
// timing can be tested without waiting.
#pragma once

#include "sim/machine/MachineModel.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace vu::sim {

struct SimTiming {
    bool enabled = true;           // false: answers reach the host at once
    uint32_t latencyMs = 16;       // the converter's latency timer until the host sets it
    uint32_t replugMs = 3000;      // a machine that dropped off the bus comes back after this
};

// The machine's own time for one request, in microseconds.
uint32_t MachineTimeUs(const std::vector<uint8_t>& payload);

// What the host wrote into the machine's storage, counted from the requests.
struct WriteTally {
    uint64_t firmwareChunkBytes = 0;
    uint32_t firmwareChunks = 0;
    uint32_t firmwareCommits = 0;
    uint64_t imageBytes = 0;       // sectors written x 512
    uint32_t sectorWrites = 0;
    uint64_t firstSectorUs = 0;    // when the first and the last sector write came in
    uint64_t lastSectorUs = 0;
    uint32_t itemWrites = 0;
    uint32_t cardCommands = 0;     // reader commands answered (power on, send, receive)
    uint32_t refused = 0;          // machine commands answered with a nonzero status
    uint32_t restarts = 0;
};

constexpr size_t CONVERTER_PACKET = 62;             // data bytes in one USB packet
constexpr size_t HOST_QUEUE_LIMIT = 1024 * 1024;    // the driver's receive buffer

class CSimDevice {
public:
    CSimDevice(std::string description, MachineState state, SimTiming timing = {});
    CSimDevice(const CSimDevice&) = delete;
    CSimDevice& operator=(const CSimDevice&) = delete;

    const std::string& Description() const { return m_description; }
    bool IsOpen() const { return m_bOpen; }
    // Attached to the bus (false for a while after the machine dropped off).
    bool Present(uint64_t nowUs);

    // The converter's calls.
    void Open(uint64_t nowUs);
    void Close(uint64_t nowUs);
    void SetDataCharacteristics(uint8_t wordLength, uint8_t stopBits, uint8_t parity);
    bool SetBaudRate(uint32_t baud, uint64_t nowUs);   // false: out of the converter's range
    uint32_t Write(const uint8_t* bytes, size_t count, uint64_t nowUs);
    void GetStatus(uint64_t nowUs, uint32_t* rxQueue, uint32_t* txQueue);
    size_t Read(uint8_t* dest, size_t wanted, uint64_t nowUs);
    void ResetDevice(uint64_t nowUs);
    void SetBitMode(uint8_t mask, uint8_t mode, uint64_t nowUs);
    void SetBreak(bool on, uint64_t nowUs);
    void Purge(uint32_t mask, uint64_t nowUs);
    bool SetLatencyTimer(uint8_t ms, uint64_t nowUs);  // false: below 2 ms
    void SetChars(uint8_t eventChar, bool eventEnabled, uint64_t nowUs);
    // When the host's receive queue next holds a byte, if the host does
    // nothing meanwhile: nowUs when it holds one already, UINT64_MAX when
    // nothing is on its way.
    uint64_t NextReceiveUs(uint64_t nowUs);

    MachineModel& Model() { return m_model; }
    const MachineModel& Model() const { return m_model; }
    const WriteTally& Tally() const { return m_tally; }
    // Refusals and garbled input seen since the last call, for a trace.
    std::vector<std::string> TakeRejections();
    uint32_t LatencyMs() const { return m_latencyMs; }

private:
    struct WireByte {
        uint64_t atUs;   // arrives at the converter
        uint8_t value;
    };

    // The converter's next hand-over from its present state: when, and how
    // many bytes from the front of the wire join the chip before it.
    struct HandOverPlan {
        uint64_t atUs;
        size_t wireBytes;
    };

    uint64_t ByteUs(uint32_t baud) const;
    uint64_t LatencyUs() const;
    uint64_t TimerRunsFrom(uint64_t lastHandOverUs, uint64_t byteUs) const;
    HandOverPlan PlanHandOver() const;
    void TakeFromWire(size_t count);
    void Advance(uint64_t nowUs);
    void HandOver();
    void ScheduleOutput(uint64_t readyUs, uint32_t baud);
    void AfterPins();
    void TallyRequests();

    std::string m_description;
    SimTiming m_timing;
    MachineModel m_model;
    bool m_bOpen = false;
    bool m_bLineOk = true;           // 8 data bits, 1 stop bit, no parity
    uint32_t m_hostBaud = 9600;
    uint32_t m_latencyMs;
    bool m_bEventEnabled = false;
    uint8_t m_eventChar = 0;

    uint64_t m_txFreeUs = 0;         // the host-to-machine wire is busy until then
    uint64_t m_machineFreeUs = 0;    // the machine has finished its last command
    uint64_t m_outFreeUs = 0;        // the machine-to-host wire is busy until then
    uint64_t m_lastHandOverUs = 0;   // the latency timer runs from here
    std::deque<WireByte> m_wire;     // answer bytes on their way to the converter
    std::vector<uint8_t> m_chip;     // arrived, not yet handed to the host
    std::deque<uint8_t> m_rx;        // the host's receive queue

    uint32_t m_restartsSeen = 0;
    bool m_bGone = false;
    uint64_t m_goneAtUs = 0;
    WriteTally m_tally;
    std::vector<std::string> m_rejections;
};

} // namespace vu::sim
