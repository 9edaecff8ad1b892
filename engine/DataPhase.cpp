#include "engine/Engine.h"
#include "engine/PhaseFrame.h"
#include "log/Format.h"
#include "log/Log.h"
#include "platform/LittleEndian.h"

#include <cstring>

namespace vu {

namespace {

constexpr uint32_t kPartSize = 1048576;
constexpr uint32_t kRecordSpan = 1024; // image bytes each reply record stands for
constexpr int kOffsetField = 6;
constexpr int kSizeField = 7;
// WriteDataSectors takes a signed byte address: larger images cannot be addressed.
constexpr uint32_t kLargestImage = 0x80000000u;

void SetRequestNumber(ExchangeRecord& record, int field, uint32_t value)
{
    PutLe32(record.requestData[field], value);
    record.requestLength[field] = 4;
}

void EmptyReplies(ExchangeRecord& record)
{
    record.replyCount = 0;
    std::memset(record.replyLength, 0, sizeof record.replyLength);
}

bool AddPartFields(CPhaseFrame& frame)
{
    static const uint8_t kZero[4] = {};
    AddRequestField(frame.Record(), kZero, 4); // offset, field 6
    AddRequestField(frame.Record(), kZero, 4); // size, field 7
    return true;
}

// Writes the reply records of part p to the image from byte p * 1 MiB on.
bool WritePart(CPhaseFrame& frame, uint32_t p)
{
    ExchangeRecord& record = frame.Record();
    CMachineLink& link = frame.Link();
    for (int j = 1; j < record.replyCount; ++j) {
        frame.ElapsedStatus();
        uint64_t address = uint64_t(p) * kPartSize + uint64_t(j - 1) * kRecordSpan;
        // A record beyond the signed address range cannot be placed: the part fails.
        if (address > 0x7FFFFFFFu)
            return frame.Fail(L"Update failed.(%d)", 24);
        const uint8_t* bytes = record.replyData[j];
        int count = record.replyLength[j];
        if (!frame.WriteWithRetries(L"re w s ", [&] { return link.WriteDataSectors(int(address), bytes, count); }))
            return frame.Fail(L"Update failed.(%d)", 24);
    }
    return true;
}

bool DataTransfer(CPhaseFrame& frame, int progressBase)
{
    ExchangeRecord& record = frame.Record();
    CMachineLink& link = frame.Link();
    const int span = 100 - progressBase;

    uint32_t imageSize = GetLe32(record.replyData[1]);
    if (imageSize == 0 || imageSize > kLargestImage) {
        LogReplyRecords(record);
        return frame.Fail(L"Communication with server failed.(%d)", 13);
    }

    EmptyReplies(record);
    static const uint8_t kPartTag[3] = {0x02, 0x01, 0x02};
    std::memcpy(record.requestData[0], kPartTag, sizeof kPartTag);
    record.requestLength[0] = sizeof kPartTag;

    if (link.BeginDataWrite() != 0)
        return frame.Fail(L"Update failed.(%d)", 21);

    frame.StartStatusClock();
    const uint32_t wholeParts = imageSize / kPartSize;
    const uint32_t remainder = imageSize % kPartSize;
    // With no whole part the single (remainder) part shows the start of the range.
    const int divisor = wholeParts > 0 ? int(wholeParts) : 1;
    for (uint32_t p = 0; p <= wholeParts && !frame.Failed(); ++p) {
        EmptyReplies(record);
        SetRequestNumber(record, kOffsetField, p * kPartSize);
        uint32_t partSize = p == wholeParts ? remainder : kPartSize;
        if (partSize == 0)
            break;
        SetRequestNumber(record, kSizeField, partSize);
        if (!frame.Exchange(22, 23))
            break;
        frame.Window()->SetProgressPos(int(p) * span / divisor + progressBase);
        bool written = WritePart(frame, p);
        WriteLog(Format(L"part %u/%u time : %u s", p, wholeParts, SecondsSince(frame.Context().system, frame.StartTick())));
        if (!written)
            break;
    }
    link.EndDataWrite(); // sent after a failed part too, before the reset
    return !frame.Failed();
}

const PhaseSettings kDataSettings = {
    .baudRate = LINK_HIGH_BAUD,
    .namedServer = 0,
    .tag = {0x02, 0x01, 0x03},
    .tagLength = 3,
    .identity = PhaseIdentity::InfoItems,
    .waitAfterBiosMs = 1000,
    .noReplyCode = 11,
    .singleReplyCode = 12,
    .logTimeAtEnd = true,
    .logFailure = true,
    .failureWaitMs = 3000,
};

} // namespace

bool RunDataPhase(IWorkerWindow* window, uint32_t startTick, int progressBase)
{
    if (progressBase >= 100)
        return false;
    CPhaseFrame frame(window, startTick, kDataSettings);
    return frame.Run(AddPartFields,
                     [progressBase](CPhaseFrame& f) { return DataTransfer(f, progressBase); });
}

} // namespace vu
