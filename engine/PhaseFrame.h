// The frame every transfer phase shares: it owns the link, the exchange
// record and (card phase) the card channel, gathers the identity, runs the
// exchange and its checks, reports progress and elapsed time, keeps the
// failure message, and always ends with reset, close and clean-up.
// Also the few helpers the probe, the version query and the sequences share.
#pragma once

#include "device/CardChannel.h"
#include "device/MachineLink.h"
#include "engine/WorkerWindow.h"
#include "server/ExchangeRecord.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vu {

// Frees the record's buffers, then the record itself.
struct ExchangeRecordDeleter {
    void operator()(ExchangeRecord* record) const;
};
using ExchangeRecordPtr = std::unique_ptr<ExchangeRecord, ExchangeRecordDeleter>;
ExchangeRecordPtr NewExchangeRecord(int32_t namedServer);

// The bytes up to the first zero byte, never beyond capacity, as text.
std::wstring TextUpToZero(const uint8_t* bytes, size_t capacity);

// Whole seconds since startTick on the system's clock (unsigned tick difference).
uint32_t SecondsSince(ISystemServices& system, uint32_t startTick);

// Disables or enables both command buttons: IDC_UPDATE_ONLINE first, then IDC_MENU_BUTTON.
void EnableCommandButtons(IWorkerWindow* window, bool enable);

// The two endings of the update and repair sequences. format takes the
// minutes and seconds since startTick.
void SuccessEnding(IWorkerWindow* window, uint32_t startTick, const wchar_t* format);
void FailureEnding(IWorkerWindow* window, uint32_t startTick, const wchar_t* format);

// How the identity reaches the request.
enum class PhaseIdentity {
    DeviceIdAndInfo, // the 8 identity bytes and the 61-byte information buffer
    InfoItems,       // information item 1 (10 bytes), item 6 (5 bytes) and "2.2.9"
};

// One phase's settings, written as a table of designated initializers; what
// a table leaves out is zero or false.
struct PhaseSettings {
    uint32_t baudRate = LINK_STANDARD_BAUD;
    int32_t namedServer = 0;
    uint8_t tag[3] = {};
    int tagLength = 0;
    PhaseIdentity identity = PhaseIdentity::DeviceIdAndInfo;
    bool cardChannel = false;      // the phase talks to the card
    uint32_t waitAfterBiosMs = 0;  // pause after EnterBios
    int noReplyCode = 0;           // replyCount <= 0
    int singleReplyCode = 0;       // replyCount == 1; 0 accepts a single record
    bool showPrepare = false;      // "Prepare to update..." after the exchange
    bool logTimeAtEnd = false;     // "time : N s" before the clean-up
    bool logFailure = false;       // the failure message also goes to the log
    uint32_t failureWaitMs = 0;    // how long the failure message stays
};

class CPhaseFrame {
public:
    using Step = std::function<bool(CPhaseFrame&)>;

    CPhaseFrame(IWorkerWindow* window, uint32_t startTick, const PhaseSettings& settings);
    CPhaseFrame(const CPhaseFrame&) = delete;
    CPhaseFrame& operator=(const CPhaseFrame&) = delete;
    ~CPhaseFrame();

    // Set-up, then prepare (before the exchange, may be empty), the exchange,
    // then transfer, then the ending. Each step returns false after Fail.
    bool Run(const Step& prepare, const Step& transfer);

    // Sets the result message to format filled with code; returns false.
    bool Fail(const wchar_t* format, int code);
    bool Failed() const { return !m_ok; }

    // "Communication with server...", one exchange, the replyCount checks.
    bool Exchange(int noReplyCode, int singleReplyCode);

    // Notes the time of the last status update (before a transfer loop).
    void StartStatusClock();
    // Sets the progress position, then the elapsed-time status when due.
    void Progress(int position);
    // The elapsed-time status when more than 1000 ms passed since the last.
    void ElapsedStatus();

    // One write and up to five retries, 1000 ms apart, each announced in the
    // log as logPrefix followed by its number. True on the first success.
    bool WriteWithRetries(const wchar_t* logPrefix, const std::function<int()>& write);

    IWorkerWindow* Window() const { return m_window; }
    const EngineContext& Context() const { return m_context; }
    uint32_t StartTick() const { return m_startTick; }
    CMachineLink& Link() { return *m_link; }
    ExchangeRecord& Record() { return *m_record; }
    CCardChannel& Card() { return *m_card; }

private:
    bool SetUp();
    bool GatherIdentity();
    void End();

    IWorkerWindow* m_window;
    const EngineContext& m_context;
    uint32_t m_startTick;
    PhaseSettings m_settings;
    std::wstring m_message;
    bool m_ok = true;
    bool m_ended = true; // nothing to end before Run
    uint32_t m_lastStatusTick = 0;
    std::unique_ptr<CMachineLink> m_link;
    ExchangeRecordPtr m_record;
    std::unique_ptr<CCardChannel> m_card;
};

} // namespace vu
