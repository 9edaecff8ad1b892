#include "engine/Engine.h"
#include "engine/PhaseFrame.h"

namespace vu {

namespace {

bool FirmwareTransfer(CPhaseFrame& frame)
{
    ExchangeRecord& record = frame.Record();
    CMachineLink& link = frame.Link();
    frame.StartStatusClock();
    if (link.BeginFirmwareWrite() != 0)
        return frame.Fail(L"Update failed.(%d)", 7);
    if (link.PrepareFirmwareWrite() != 0)
        return frame.Fail(L"Update failed.(%d)", 8);
    // Record 0 is the header record; the chunks are records 1 onward.
    for (int i = 1; i < record.replyCount; ++i) {
        frame.Progress((40 * i) / record.replyCount);
        const uint8_t* chunk = record.replyData[i];
        int count = record.replyLength[i];
        if (!frame.WriteWithRetries(L"re w f ", [&] { return link.WriteFirmwareChunk(chunk, count); }))
            return frame.Fail(L"Update failed.(%d)", 9);
    }
    if (link.EndFirmwareWrite() != 0)
        return frame.Fail(L"Update failed.(%d)", 10);
    // A short header record carries the item-6 value in its bytes 1 to 5
    // (bytes past its length are zero: reply buffers start zeroed).
    if (record.replyLength[0] < 10)
        link.WriteInfoItem(record.replyData[0] + 1);
    return true;
}

const PhaseSettings kFirmwareSettings = {
    .baudRate = LINK_HIGH_BAUD,
    .namedServer = 0,
    .tag = {0x02, 0x01, 0x01},
    .tagLength = 3,
    .identity = PhaseIdentity::InfoItems,
    .noReplyCode = 5,
    .singleReplyCode = 6,
    .showPrepare = true,
    .failureWaitMs = 5000,
};

} // namespace

bool RunFirmwarePhase(IWorkerWindow* window, uint32_t startTick)
{
    CPhaseFrame frame(window, startTick, kFirmwareSettings);
    return frame.Run(nullptr, FirmwareTransfer);
}

} // namespace vu
