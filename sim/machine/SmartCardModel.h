// The smart card inside the machine's reader: T=1 blocks in, blocks out.
// It checks every block it gets as a card would (NAD, PCB sequence bit, LEN,
// LRC) and answers a bad one with an R-block. It holds an application, the
// card manager with GlobalPlatform INITIALIZE UPDATE (secure channel 02
// layout) and a script for every other command APDU; tests make it ask for
// more time, fall silent, cut its answers short or change them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vu::sim {

using Bytes = std::vector<uint8_t>;

// A spoiled answer: what the card does instead of simply answering.
//   CardFault().For({0x00, 0xAD}).AskForTime(3, 0x02)
struct CardFault {
    Bytes match;                 // the command APDUs it applies to, by their first bytes; empty: any
    int times = 1;               // how many answers it spoils; -1: every one from now on
    int wtxRequests = 0;         // waiting-time-extension requests before the answer; -1: without end
    uint8_t wtxMultiplier = 1;
    bool silent = false;         // no answer block at all
    int cutTo = -1;              // only the answer block's first cutTo bytes are sent
    int holdReceives = 0;        // the answer block waits for this many receive commands first
    std::optional<Bytes> answer; // this response APDU in place of the card's own

    CardFault& For(Bytes apduStart) { match = std::move(apduStart); return *this; }
    CardFault& Times(int n) { times = n; return *this; }
    CardFault& Always() { times = -1; return *this; }
    CardFault& AskForTime(int requests, uint8_t multiplier = 1)
    {
        wtxRequests = requests;
        wtxMultiplier = multiplier;
        return *this;
    }
    CardFault& Silent() { silent = true; return *this; }
    CardFault& CutTo(int bytes) { cutTo = bytes; return *this; }
    CardFault& HoldFor(int receives) { holdReceives = receives; return *this; }
    CardFault& Answer(Bytes response) { answer = std::move(response); return *this; }
};

class SmartCardModel {
public:
    static const Bytes kApplicationAid; // 83 46 75 23 61 01
    static const Bytes kCardManagerAid; // A0 00 00 00 03 00 00
    static const Bytes kDefaultAnswerToReset;

    // What the card sends after a block: bytes now, and bytes that wait for
    // holdReceives receive commands of the reader.
    struct Transmission {
        Bytes now;
        Bytes held;
        int holdReceives = 0;
    };

    // One INITIALIZE UPDATE the card answered.
    struct InitializeUpdateSeen {
        uint8_t hostChallenge[8];
        Bytes answer; // the response APDU, status bytes included
    };

    SmartCardModel();

    // Power: the answer to reset; the session (selection, sequence bits,
    // outstanding time requests) starts afresh. Scripts and records stay.
    Bytes PowerOn();
    void PowerOff();
    bool Powered() const;

    // One T=1 block from the reader's line.
    Transmission ReceiveBlock(const uint8_t* block, size_t length);

    // Scripting.
    void SetAnswerToReset(Bytes atr);
    void SetApplicationData(const Bytes& eightBytes); // the answer to 00 AD 00 00
    void SetReadStatus(uint8_t sw1, uint8_t sw2);     // its status bytes (90 00 unless set)
    void SetCardChallenge(const Bytes& sixBytes);
    void SetSequenceCounter(uint16_t counter);        // counts up with every INITIALIZE UPDATE
    // Answers every command APDU the card does not know itself; default 90 00.
    void SetApduScript(std::function<Bytes(const Bytes& apdu)> script);
    void AddFault(CardFault fault);
    void ClearFaults();

    // What the card saw.
    std::vector<Bytes> Blocks() const;            // every block, as received
    std::vector<Bytes> Apdus() const;             // every command APDU it accepted
    std::vector<std::string> Rejections() const;  // one reason per block it refused
    std::vector<InitializeUpdateSeen> InitializeUpdates() const;
    int PowerOnCount() const;

private:
    enum class Selected { None, Application, CardManager };

    Transmission Reject(uint8_t errorCode, const std::string& reason);
    Bytes Process(const Bytes& apdu);
    Bytes AnswerInitializeUpdate(const Bytes& apdu);
    Bytes IBlock(const Bytes& inf);
    std::optional<CardFault> TakeFault(const Bytes& apdu);

    mutable std::mutex m_lock;

    // Script.
    Bytes m_atr;
    Bytes m_appData;
    uint8_t m_readSw[2] = {0x90, 0x00};
    Bytes m_cardChallenge;
    uint16_t m_sequenceCounter = 0x002A;
    std::function<Bytes(const Bytes&)> m_script;
    std::vector<CardFault> m_faults;

    // Session.
    bool m_bPowered = false;
    Selected m_selected = Selected::None;
    uint8_t m_expectedSeq = 0x00; // N(S) bit of the next I-block from the reader
    uint8_t m_cardSeq = 0x00;     // N(S) bit of the card's next I-block
    bool m_bWtxOutstanding = false;
    int m_wtxMore = 0;            // requests still to come after the outstanding one; -1: without end
    uint8_t m_wtxMultiplier = 1;
    Transmission m_pendingAnswer; // sent once the time requests are over

    // Records.
    std::vector<Bytes> m_blocks;
    std::vector<Bytes> m_apdus;
    std::vector<std::string> m_rejections;
    std::vector<InitializeUpdateSeen> m_initializeUpdates;
    int m_nPowerOns = 0;
};

// Exclusive-or of the bytes: the T=1 block check.
uint8_t BlockLrc(const uint8_t* bytes, size_t length);

} // namespace vu::sim
