#include "engine/Engine.h"
#include "engine/PhaseFrame.h"

namespace vu {

namespace {

constexpr uint32_t kHeaderAnswerCapacity = 500;
constexpr uint32_t kRelayAnswerCapacity = 1000;
constexpr uint32_t kRelayWaitMs = 1000;

// Powers the card, selects its application, reads its 8-byte value and opens
// the card manager with a fresh challenge; what the card said goes to the server.
bool CardHandshake(CPhaseFrame& frame)
{
    CCardChannel& card = frame.Card();
    ExchangeRecord& record = frame.Record();
    if (card.Open() != 0)
        return frame.Fail(L"Update failed.(%d)", 5);
    static const uint8_t kApplication[6] = {0x83, 0x46, 0x75, 0x23, 0x61, 0x01};
    if (card.Select(kApplication, sizeof kApplication) != 0)
        return frame.Fail(L"Update failed.(%d)", 6);
    static const uint8_t kReadValue[4] = {0x00, 0xAD, 0x00, 0x00};
    uint8_t answer[kHeaderAnswerCapacity] = {};
    uint32_t length = 0;
    if (card.TransmitHeader(kReadValue, answer, &length, kHeaderAnswerCapacity) != 0)
        return frame.Fail(L"Update failed.(%d)", 7);
    if (length != 10 || answer[8] != 0x90 || answer[9] != 0x00)
        return frame.Fail(L"Update failed.(%d)", 8);
    AddRequestField(record, answer, 8);
    if (card.SelectCardManager() != 0)
        return frame.Fail(L"Update failed.(%d)", 9);
    if (card.InitializeUpdate() != 0)
        return frame.Fail(L"Update failed.(%d)", 10);
    AddRequestField(record, card.m_hostChallenge, 8);
    AddRequestField(record, card.m_cardChallenge, 8);
    return true;
}

bool CardTransfer(CPhaseFrame& frame, int progressTop)
{
    ExchangeRecord& record = frame.Record();
    CCardChannel& card = frame.Card();
    frame.StartStatusClock();
    for (int i = 0; i < record.replyCount; ++i) {
        frame.Progress((i * progressTop) / record.replyCount);
        uint8_t answer[kRelayAnswerCapacity] = {};
        uint32_t length = 0;
        card.Transmit(record.replyData[i], record.replyLength[i], answer, &length, kRelayAnswerCapacity,
                      kRelayWaitMs);
        // Only delivery is judged here: the card's status words are the server's affair.
        if (length <= 1)
            return frame.Fail(L"Update failed.(%d)", 21);
    }
    return true;
}

const PhaseSettings kCardSettings = {
    .baudRate = LINK_STANDARD_BAUD,
    .namedServer = 1,
    .tag = {0x07, 0x42},
    .tagLength = 2,
    .identity = PhaseIdentity::DeviceIdAndInfo,
    .cardChannel = true,
    .noReplyCode = 11,
    .singleReplyCode = 0, // a single card command is a valid reply
    .showPrepare = true,
    .failureWaitMs = 5000,
};

} // namespace

bool RunCardPhase(IWorkerWindow* window, uint32_t startTick, int progressTop)
{
    if (progressTop <= 0)
        return false;
    CPhaseFrame frame(window, startTick, kCardSettings);
    return frame.Run(CardHandshake, [progressTop](CPhaseFrame& f) { return CardTransfer(f, progressTop); });
}

} // namespace vu
