#include "engine/Engine.h"
#include "engine/PhaseFrame.h"

namespace vu {

namespace {

constexpr uint32_t kAnswerCapacity = 1000;

// The machine took the frame: at least two bytes, and a zero status byte or
// one of the two answers A7 and A8 that carry their own meaning.
bool PlaybackAccepted(const uint8_t* answer, uint32_t length)
{
    return length >= 2 && (answer[1] == 0x00 || answer[0] == 0xA7 || answer[0] == 0xA8);
}

bool PlaybackTransfer(CPhaseFrame& frame)
{
    ExchangeRecord& record = frame.Record();
    CMachineLink& link = frame.Link();
    frame.StartStatusClock();
    for (int i = 0; i < record.replyCount; ++i) {
        frame.Progress((60 * i) / record.replyCount + 10);
        // The server's bytes go out as they stand: it builds the frames.
        uint32_t written = 0;
        link.WriteRaw(record.replyData[i], uint32_t(record.replyLength[i]), &written);
        uint8_t answer[kAnswerCapacity] = {};
        uint32_t length = 0;
        // An answer longer than the buffer is refused, not cut: ReceiveFrame then copies nothing.
        link.ReceiveFrame(answer, &length, kAnswerCapacity);
        if (!PlaybackAccepted(answer, length))
            return frame.Fail(L"Update failed.(%d)", 8);
    }
    return true;
}

const PhaseSettings kPlaybackSettings = {
    .baudRate = LINK_STANDARD_BAUD,
    .namedServer = 1,
    .tag = {0x07, 0x41},
    .tagLength = 2,
    .identity = PhaseIdentity::DeviceIdAndInfo,
    .noReplyCode = 5,
    .singleReplyCode = 6,
    .showPrepare = true,
    .failureWaitMs = 5000,
};

} // namespace

bool RunPlaybackPhase(IWorkerWindow* window, uint32_t startTick)
{
    CPhaseFrame frame(window, startTick, kPlaybackSettings);
    return frame.Run(nullptr, PlaybackTransfer);
}

} // namespace vu
