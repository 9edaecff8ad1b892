// The Vantorelle machine as seen from the far end of its USB serial converter:
// the restart pins, the boot loader with its commands, the storage, and the
// card reader. Transport-independent and without a clock: bytes from the host,
// the converter's pin, break and baud settings go in; answer pieces come out,
// each with the delay (ms) after which it follows the previous one. A wrapper
// (the in-process ModelDriver, the simulator process) delivers them.
//
// What the machine does:
// - Restart: CBUS2 (driven in CBUS bit-bang mode, mode 0x20, with CBUS0 high)
//   rising and then falling restarts the machine at the fall. If the serial
//   line is in break at the fall it starts its boot loader, otherwise its
//   normal firmware. Every restart sets the machine's speed to 115200, drops
//   half-received input and held answers, and resets the card reader.
// - Speed: bytes that travel while the host's rate differs from the machine's
//   by more than 3 percent (what a UART tolerates) are garbled: input is lost
//   (and the half-received frame with it), output reaches the host as zero
//   bytes. AE + 32-bit rate is answered AE 00 at the
//   old rate, then the machine runs at the new one (AE 01 for a rate it does
//   not support, and no switch).
// - Frames: length L (2 bytes), payload length N (2 bytes), payload, check
//   byte. The machine takes frames of 5 to 5000 bytes whose N is exactly
//   L - 5 and whose check byte is right; for a card-flagged frame (bit 7 of
//   byte 1) the check is the exclusive-or of the bytes with byte 1 unflagged,
//   exclusive-or the flagged byte 1. A length outside 5..5000 discards all
//   input held; a frame failing a check is consumed unanswered. Each refusal
//   is listed in Rejections().
// - Normal firmware answers nothing on the link. The boot loader answers:
//     D1            -> D1 00 + 8 identity bytes
//     BE            -> BE 00 + the information block (48 bytes by default)
//     A1 n          -> A1 00 + item n's text, or A1 05 when item n is missing
//     A0 n 02 v...  -> sets item n to v..., A0 00 (A0 01 when malformed)
//     A5 <0> <1>    -> begins a firmware write, pending bytes emptied, A5 00
//     AB            -> prepares the write, AB 00 (AB 01 before A5)
//     A4 bytes      -> appends up to 1024 bytes, A4 00 (A4 01 out of order
//                      or too long)
//     A6            -> the pending bytes become the firmware, A6 00
//     D7            -> begins a data write, D7 00
//     D8 s S data   -> writes S sectors of 512 bytes at sector s; exactly
//                      S x 512 data bytes, inside the storage, after D7:
//                      D8 00 + s (4 bytes); else D8 01
//     DB            -> ends the data write, DB 00
//     AE rate       -> see Speed
//   Card-flagged B0, B2, B3 go to Card().HandleCommand; its reply payload is
//   sent as a plain frame, no reply means no answer. B0/B2/B3 unflagged, a
//   flagged frame of another command, an unknown command: no answer.
//
// Starting states: Healthy() (8 identity bytes, the information block,
// item 1 "V2.13", item 6 "A0103") and Broken() (item 6 missing, so the
// probe fails until a playback writes it back with A0 06 02 v1..v5).
#pragma once

#include "sim/machine/CardReaderModel.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vu::sim {

struct MachineState {
    std::array<uint8_t, 8> identity{};
    std::vector<uint8_t> infoBlock;                   // what follows BE 00
    std::map<uint8_t, std::vector<uint8_t>> items;    // information items
    std::vector<uint8_t> firmware;                    // the last committed firmware
    std::vector<uint8_t> image;                       // data image; grows with the highest sector written
    uint32_t imageCapacity = 64u * 1024 * 1024;       // bytes of storage for the image

    static MachineState Healthy();
    static MachineState Broken();
};

// One piece of the machine's output: it follows the previous piece (or the
// request that caused it) after delayMs.
struct OutputPiece {
    std::vector<uint8_t> bytes;
    uint32_t delayMs = 0;
};

// A fault scripted for one command code (the first payload byte; ANY_COMMAND
// for every command). Each matching request, after `after` untouched ones,
// gets the fault, `times` times (negative: for ever).
struct MachineFault {
    enum class Kind {
        Refuse,        // not carried out; answered code + status
        Delay,         // answered delayMs late
        Trickle,       // answered one byte per piece, delayMs apart
        Split,         // answered in two pieces at splitAt (0: half), the second delayMs later
        MergeWithNext, // the answer is held back and sent glued to the next answer
        Garbage,       // carried out, but the answer is replaced by `garbage` (empty: the
                       // answer's bytes inverted)
        Silent,        // not carried out, not answered
        Vanish,        // not carried out; the machine drops off the bus (Unplugged())
    };
    Kind kind = Kind::Refuse;
    int times = 1;
    int after = 0;
    uint8_t status = 0x01;
    uint32_t delayMs = 0;
    size_t splitAt = 0;
    std::vector<uint8_t> garbage;
};

constexpr int ANY_COMMAND = -1;

// Whether a UART at hostBaud and one at machineBaud read each other: within
// 3 percent of the machine's rate (a converter's divisor rarely gives the
// exact rate asked).
bool BaudRatesAgree(uint32_t hostBaud, uint32_t machineBaud);

class MachineModel {
public:
    enum class Mode { Normal, BootLoader };

    explicit MachineModel(MachineState state = MachineState::Healthy());
    MachineModel(const MachineModel&) = delete;
    MachineModel& operator=(const MachineModel&) = delete;

    // --- What the converter passes in ---
    void HostWrite(const uint8_t* bytes, size_t count); // bytes sent by the host
    void SetHostBaud(uint32_t baud);                    // FT_SetBaudRate
    void SetBitMode(uint8_t mask, uint8_t mode);        // FT_SetBitMode
    void SetBreak(bool on);                             // FT_SetBreakOn / FT_SetBreakOff
    void ConverterReset();                              // FT_ResetDevice: the converter only
    void Disconnected();                                // the host closed the port or the cable went

    // --- What comes out: answer pieces in order, taken once ---
    std::vector<OutputPiece> TakeOutput();
    bool HasOutput() const { return !m_output.empty(); }

    // --- Faults ---
    void AddFault(int command, MachineFault fault);
    void ClearFaults();

    // --- State, for tests and the simulator ---
    MachineState& State() { return m_state; }
    const MachineState& State() const { return m_state; }
    const std::vector<uint8_t>& Firmware() const { return m_state.firmware; }
    // Image bytes [offset, offset + size); bytes never written read as 0.
    std::vector<uint8_t> Image(size_t offset, size_t size) const;
    const std::vector<uint8_t>* Item(uint8_t n) const;
    Mode CurrentMode() const { return m_mode; }
    uint32_t MachineBaud() const { return m_machineBaud; }
    uint32_t HostBaud() const { return m_hostBaud; }
    uint32_t RestartCount() const { return m_restarts; }   // wrappers drop undelivered answers on a change
    bool Unplugged() const { return m_unplugged; }
    void Replug() { m_unplugged = false; }
    bool InBreak() const { return m_break; }
    bool DataWriteOpen() const { return m_dataWriteOpen; }
    bool FirmwareWriteOpen() const { return m_firmwareBegun; }
    size_t GarbledBytes() const { return m_garbled; }

    // The payload of every request that passed the frame checks, in order
    // (card commands included, faulted ones too).
    const std::vector<std::vector<uint8_t>>& Requests() const { return m_requests; }
    size_t CountOf(uint8_t command) const;
    // Every refused frame or byte run, as "<reason>: <hex of the first bytes>".
    const std::vector<std::string>& Rejections() const { return m_rejections; }
    void ClearRecords();

    CardReaderModel& Card() { return m_card; }

private:
    void Restart(bool bootLoader);
    void ParseInput();
    void HandleFrame(const uint8_t* frame, size_t length);
    // Answer payload for one request; false: no answer.
    bool Perform(const uint8_t* payload, size_t length, bool flagged, std::vector<uint8_t>* answer);
    void Emit(const std::vector<uint8_t>& payload, const MachineFault* fault);
    void Push(OutputPiece piece);
    const MachineFault* MatchFault(uint8_t command);
    void Reject(const std::string& reason, const uint8_t* bytes, size_t length);
    bool Cbus2High() const;

    MachineState m_state;
    CardReaderModel m_card;
    Mode m_mode = Mode::Normal;
    uint32_t m_machineBaud = 115200;
    uint32_t m_hostBaud = 115200;
    uint32_t m_pendingBaud = 0;
    uint8_t m_bitMask = 0;
    uint8_t m_bitMode = 0;
    bool m_break = false;
    bool m_cbus2WasHigh = false;
    bool m_unplugged = false;
    uint32_t m_restarts = 0;

    std::vector<uint8_t> m_input;
    std::vector<OutputPiece> m_output;
    std::vector<uint8_t> m_held; // an answer waiting to be merged with the next

    bool m_firmwareBegun = false;
    bool m_firmwarePrepared = false;
    std::vector<uint8_t> m_pendingFirmware;
    bool m_dataWriteOpen = false;

    struct FaultSlot {
        int command;
        MachineFault fault;
    };
    std::vector<FaultSlot> m_faults;
    MachineFault m_firing; // the fault applied to the current request

    std::vector<std::vector<uint8_t>> m_requests;
    std::vector<std::string> m_rejections;
    size_t m_garbled = 0;
};

} // namespace vu::sim
