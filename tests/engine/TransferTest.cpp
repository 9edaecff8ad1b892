// What the phases send to the server and carry to the machine: the request
// fields, the firmware header's item 6, the playback answers accepted, the
// image addressing, retried writes and resumed replies ending in success
// with nothing lost, and the elapsed-time status.
#include "engine/Engine.h"
#include "platform/ToolVersion.h"
#include "tests/engine/EngineFixture.h"

#include <algorithm>

namespace vu::test {
namespace {

class TransferTest : public EngineTest {};

Bytes Utf16(const std::wstring& s)
{
    Bytes out;
    for (wchar_t c : s) {
        out.push_back(uint8_t(c));
        out.push_back(uint8_t(unsigned(c) >> 8));
    }
    return out;
}

void ExpectAutomaticFields(const sim::ReceivedRequest& r)
{
    ASSERT_GE(r.parsed.fields.size(), 3u);
    EXPECT_EQ(r.parsed.fields[1], Utf16(ComputerName()));
    EXPECT_EQ(r.parsed.fields[2], Utf16(TOOL_VERSION_TEXT));
}

TEST_F(TransferTest, FirmwareRequestCarriesItemsCutOrFilledAndTheLoaderVersion)
{
    Attach().State().items[1] = Text("V2.13-long-version"); // cut to 10 bytes
    ASSERT_TRUE(RunFirmwarePhase(&m_window, TickCount()));

    std::vector<sim::ReceivedRequest> r = RequestsFor(kFirmwareTag);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].port, "fixed");
    ExpectAutomaticFields(r[0]);
    ASSERT_EQ(r[0].parsed.fields.size(), 6u);
    EXPECT_EQ(r[0].parsed.fields[3], Text("V2.13-long"));
    EXPECT_EQ(r[0].parsed.fields[4], Text("A0103"));
    EXPECT_EQ(r[0].parsed.fields[5], Text("2.2.9"));
}

TEST_F(TransferTest, ShortItemOneIsFilledWithZeroBytes)
{
    Attach().State().items[1] = Text("V2.");
    ASSERT_TRUE(RunFirmwarePhase(&m_window, TickCount()));
    std::vector<sim::ReceivedRequest> r = RequestsFor(kFirmwareTag);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].parsed.fields[3], (Bytes{'V', '2', '.', 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(TransferTest, PlaybackRequestCarriesIdentityAndTheWholeInformationBuffer)
{
    sim::MachineModel& m = Attach();
    ASSERT_TRUE(RunPlaybackPhase(&m_window, TickCount()));

    std::vector<sim::ReceivedRequest> r = RequestsFor(kPlaybackTag);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].port, "named");
    ExpectAutomaticFields(r[0]);
    ASSERT_EQ(r[0].parsed.fields.size(), 5u);
    EXPECT_EQ(r[0].parsed.fields[3], Bytes(m.State().identity.begin(), m.State().identity.end()));
    Bytes info{0x3B, 0x00, 0x32, 0x00, 0xBE, 0x00};
    info.insert(info.end(), m.State().infoBlock.begin(), m.State().infoBlock.end());
    info.resize(61, 0);
    EXPECT_EQ(r[0].parsed.fields[4], info);
}

TEST_F(TransferTest, CardRequestCarriesTheCardValueAndBothChallenges)
{
    sim::MachineModel& m = Attach();
    const Bytes value{1, 2, 3, 4, 5, 6, 7, 8};
    m.Card().SmartCard().SetApplicationData(value);
    ASSERT_TRUE(RunCardPhase(&m_window, TickCount(), 10));

    std::vector<sim::ReceivedRequest> r = RequestsFor(kCardTag);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].port, "named");
    ASSERT_EQ(r[0].parsed.fields.size(), 8u);
    EXPECT_EQ(r[0].parsed.fields[5], value);
    std::vector<sim::SmartCardModel::InitializeUpdateSeen> seen = m.Card().SmartCard().InitializeUpdates();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(r[0].parsed.fields[6], Bytes(seen[0].hostChallenge, seen[0].hostChallenge + 8));
    EXPECT_EQ(r[0].parsed.fields[7], Bytes(seen[0].answer.begin() + 12, seen[0].answer.begin() + 20));

    // Every served record reached the card, in order, after the handshake.
    std::vector<Bytes> apdus = m.Card().SmartCard().Apdus();
    std::vector<Bytes> served = m_server.Content().card;
    ASSERT_GE(apdus.size(), served.size());
    EXPECT_TRUE(std::equal(served.begin(), served.end(), apdus.end() - std::ptrdiff_t(served.size())));
    ExpectLeftNormalAndClosed();
}

TEST_F(TransferTest, DataRequestsAskForTheSizeThenEachPartByOffsetAndSize)
{
    sim::UpdateContent c = DefaultContent();
    c.image = Pattern(1048576 + 300, 3);
    SetContent(c);
    Attach();
    ASSERT_TRUE(RunDataPhase(&m_window, TickCount(), 0));

    std::vector<sim::ReceivedRequest> size = RequestsFor(kSizeTag);
    ASSERT_EQ(size.size(), 1u);
    ASSERT_EQ(size[0].parsed.fields.size(), 8u);
    EXPECT_EQ(size[0].parsed.fields[6], Bytes(4, 0));
    EXPECT_EQ(size[0].parsed.fields[7], Bytes(4, 0));
    std::vector<sim::ReceivedRequest> parts = RequestsFor(kPartTag);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].parsed.fields[6], (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(parts[0].parsed.fields[7], (Bytes{0, 0, 0x10, 0}));
    EXPECT_EQ(parts[1].parsed.fields[6], (Bytes{0, 0, 0x10, 0}));
    EXPECT_EQ(parts[1].parsed.fields[7], (Bytes{0x2C, 0x01, 0, 0}));
    EXPECT_EQ(parts[1].parsed.fields[3], size[0].parsed.fields[3]); // identity fields unchanged
    ExpectStorageAsServed(false, true);
    ExpectLeftNormalAndClosed();
}

TEST_F(TransferTest, EachImageRecordStandsForOneKilobyteWhateverItsLength)
{
    const Bytes a = Pattern(700, 1), b = Pattern(1024, 2);
    RawReply(kSizeTag, {Bytes(4, 0), {0x00, 0x08, 0x00, 0x00}}); // 2048 bytes
    RawReply(kPartTag, {Bytes(4, 0), a, b});
    sim::MachineModel& m = Attach();
    ASSERT_TRUE(RunDataPhase(&m_window, TickCount(), 0));

    Bytes expected = a;
    expected.resize(1024, 0);
    expected.insert(expected.end(), b.begin(), b.end());
    EXPECT_TRUE(m.Image(0, 2048) == expected);
}

struct HeaderCase {
    const char* name;
    Bytes header;
    std::string item6After;
    friend void PrintTo(const HeaderCase& c, std::ostream* os) { *os << c.name; }
};

class FirmwareHeaderTest : public TransferTest, public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(FirmwareHeaderTest, AShortHeaderRecordSetsItemSixAfterTheFirmware)
{
    sim::UpdateContent c = DefaultContent();
    c.firmwareHeader = GetParam().header;
    SetContent(c);
    sim::MachineModel& m = Attach();
    ASSERT_TRUE(RunFirmwarePhase(&m_window, TickCount()));
    ASSERT_NE(m.Item(6), nullptr);
    EXPECT_EQ(*m.Item(6), Text(GetParam().item6After));
    ExpectStorageAsServed(true, false);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, FirmwareHeaderTest,
    ::testing::Values(HeaderCase{"SixBytes", {0x00, 'W', 'X', 'Y', 'Z', '1'}, "WXYZ1"},
                      HeaderCase{"TwoBytesReadsZerosPastItsEnd", {0x00, 'Q'}, std::string("Q\0\0\0\0", 5)},
                      HeaderCase{"TenBytesLeavesItemSix", Bytes(10, 0x41), "A0103"}),
    [](const auto& info) { return std::string(info.param.name); });

struct AnswerCase {
    const char* name;
    std::optional<Bytes> answer; // the machine's answer to the first frame; nullopt: none
    bool accepted;
    friend void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name; }
};

class PlaybackAnswerTest : public TransferTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(PlaybackAnswerTest, AcceptsAZeroStatusOrTheA7AndA8Answers)
{
    sim::MachineModel& m = Attach(sim::MachineState::Broken());
    sim::MachineFault f;
    if (GetParam().answer) {
        f.kind = sim::MachineFault::Kind::Garbage;
        f.garbage = sim::MachineFrame(*GetParam().answer);
    } else {
        f.kind = sim::MachineFault::Kind::Silent;
    }
    m.AddFault(0xA0, f);

    EXPECT_EQ(RunPlaybackPhase(&m_window, TickCount()), GetParam().accepted);
    EXPECT_EQ(m.CountOf(0xA0), GetParam().accepted ? 3u : 1u);
    if (GetParam().accepted) {
        ASSERT_NE(m.Item(6), nullptr); // the playback restored the broken machine
        EXPECT_EQ(*m.Item(6), Text("V2.30"));
    } else {
        EXPECT_EQ(m_window.Status(), L"Update failed.(8)");
    }
    ExpectLeftNormalAndClosed();
}

Bytes Long(size_t n)
{
    Bytes b(n, 0x55);
    b[0] = 0xA0;
    b[1] = 0x00;
    return b;
}

INSTANTIATE_TEST_SUITE_P(Answers, PlaybackAnswerTest,
                         ::testing::Values(AnswerCase{"ZeroStatus", Bytes{0xA0, 0x00}, true},
                                           AnswerCase{"OtherCommandZeroStatus", Bytes{0x10, 0x00}, true},
                                           AnswerCase{"A7WithStatus", Bytes{0xA7, 0x05}, true},
                                           AnswerCase{"A8WithStatus", Bytes{0xA8, 0x03}, true},
                                           AnswerCase{"NonzeroStatus", Bytes{0x10, 0x03}, false},
                                           AnswerCase{"OneByte", Bytes{0xA7}, false},
                                           AnswerCase{"NoAnswer", std::nullopt, false},
                                           AnswerCase{"ExactlyTheBuffer", Long(1000), true},
                                           AnswerCase{"LongerThanTheBufferIsRefused", Long(1001), false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct RetryCase {
    const char* name;
    bool firmware; // else data
    int refusals;
    friend void PrintTo(const RetryCase& c, std::ostream* os) { *os << c.name; }
};

class RetryTest : public TransferTest, public ::testing::WithParamInterface<RetryCase> {};

TEST_P(RetryTest, ARefusedWriteIsRetriedASecondApartAndNothingIsLost)
{
    const RetryCase& c = GetParam();
    sim::UpdateContent content = DefaultContent();
    content.image = Pattern(5000, 9);
    SetContent(content);
    sim::MachineModel& m = Attach();
    m.AddFault(c.firmware ? 0xA4 : 0xD8, Refuse(c.refusals, 1)); // the second chunk or sector record

    uint64_t before = m_clock.SleptMs();
    bool ok = c.firmware ? RunFirmwarePhase(&m_window, TickCount()) : RunDataPhase(&m_window, TickCount(), 0);
    ASSERT_TRUE(ok) << Narrow(m_window.Status());

    const std::wstring prefix = c.firmware ? L"re w f " : L"re w s ";
    std::vector<std::wstring> expected;
    for (int i = 1; i <= c.refusals; ++i)
        expected.push_back(prefix + std::to_wstring(i));
    EXPECT_EQ(LogLinesStartingWith(prefix), expected);
    // One second per retry on top of the phase's own waits.
    const uint64_t ownWaits = c.firmware ? 0 : 1000;
    EXPECT_GE(m_clock.SleptMs() - before, ownWaits + 1000u * unsigned(c.refusals));
    EXPECT_LT(m_clock.SleptMs() - before, ownWaits + 1000u * unsigned(c.refusals) + 1000);
    ExpectStorageAsServed(c.firmware, !c.firmware);
    ExpectLeftNormalAndClosed();
}

INSTANTIATE_TEST_SUITE_P(Writes, RetryTest,
                         ::testing::Values(RetryCase{"ChunkOnce", true, 1}, RetryCase{"ChunkFiveTimes", true, 5},
                                           RetryCase{"SectorOnce", false, 1}, RetryCase{"SectorFiveTimes", false, 5}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TransferTest, RepliesCutOffMidwayAreResumedAndNothingIsLost)
{
    m_context.server.receiveTimeoutMs = 300; // real time: the server falls silent for longer
    sim::UpdateContent c = DefaultContent();
    c.image = Pattern(1048576 + 4000, 5);
    SetContent(c);
    for (const Bytes& tag : {kFirmwareTag, kPartTag}) {
        sim::Fault f;
        f.kind = sim::FaultKind::CutStall;
        f.bytes = 1500;
        f.ms = 3000;
        f.tag = tag;
        f.skip = tag == kPartTag ? 1 : 0; // the second part
        Fault(f);
    }
    Attach();

    ASSERT_TRUE(RunFirmwarePhase(&m_window, TickCount()));
    ASSERT_TRUE(RunDataPhase(&m_window, TickCount(), 40));

    std::vector<sim::ReceivedRequest> fw = RequestsFor(kFirmwareTag);
    ASSERT_EQ(fw.size(), 2u);
    EXPECT_EQ(fw[1].parsed.resumeOffset, 1500u);
    std::vector<sim::ReceivedRequest> parts = RequestsFor(kPartTag);
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[2].parsed.resumeOffset, 1500u);
    EXPECT_EQ(parts[2].parsed.fields[6], parts[1].parsed.fields[6]);
    ExpectStorageAsServed();
    EXPECT_EQ(Machine().Item(6) ? *Machine().Item(6) : Bytes(), Text("V2.30"));
}

TEST_F(TransferTest, ElapsedTimeCountsFromTheSequenceStartAtMostOnceASecond)
{
    sim::MachineModel& m = Attach();
    m.AddFault(0xA4, Refuse(3, 1));
    const uint32_t startTick = TickCount() - 90000; // the sequence began 90 s ago
    ASSERT_TRUE(RunFirmwarePhase(&m_window, startTick));

    std::vector<RecordingWindow::Event> elapsed;
    for (const RecordingWindow::Event& e : m_window.Events(RecordingWindow::Kind::Status))
        if (e.text.rfind(L"Updating, elapsed time: ", 0) == 0)
            elapsed.push_back(e);
    ASSERT_FALSE(elapsed.empty());
    uint64_t previous = 0;
    for (const RecordingWindow::Event& e : elapsed) {
        uint32_t s = uint32_t(e.atMs - startTick) / 1000;
        EXPECT_EQ(e.text, L"Updating, elapsed time: " + std::to_wstring(s / 60) + L" m " + std::to_wstring(s % 60)
                              + L" s");
        EXPECT_GE(s, 90u);
        if (previous) {
            EXPECT_GT(e.atMs - previous, 1000u);
        }
        previous = e.atMs;
    }
    EXPECT_EQ(elapsed.front().text.substr(0, 28), L"Updating, elapsed time: 1 m ");
}

TEST_F(TransferTest, RangesOutsideTheirLimitsTouchNothing)
{
    sim::MachineModel& m = Attach();
    EXPECT_FALSE(RunDataPhase(&m_window, TickCount(), 100));
    EXPECT_FALSE(RunDataPhase(&m_window, TickCount(), 250));
    EXPECT_FALSE(RunCardPhase(&m_window, TickCount(), 0));
    EXPECT_FALSE(RunCardPhase(&m_window, TickCount(), -5));
    EXPECT_TRUE(m_window.Events().empty());
    EXPECT_TRUE(m_log.Lines().empty());
    EXPECT_TRUE(m_server.ProtocolRequests().empty());
    EXPECT_EQ(m.RestartCount(), 0u);
    EXPECT_EQ(m_driver.CountOf("OpenByDescription"), 0u);
}

} // namespace
} // namespace vu::test
