// Progress positions of the phases and the data phase's part lines.
#include "engine/Engine.h"
#include "tests/engine/EngineFixture.h"

namespace vu::test {
namespace {

class ProgressTest : public EngineTest {};

constexpr size_t MiB = 1048576;

TEST_F(ProgressTest, PlaybackOf120RecordsRunsFrom10To69)
{
    sim::UpdateContent c = DefaultContent();
    c.playback.assign(120, sim::WriteItem6Frame("V2.30"));
    SetContent(c);
    Attach(sim::MachineState::Broken());

    ASSERT_TRUE(RunPlaybackPhase(&m_window, TickCount()));

    std::vector<int> positions = m_window.Positions();
    ASSERT_EQ(positions.size(), 120u);
    EXPECT_EQ(std::vector<int>(positions.begin(), positions.begin() + 5), (std::vector<int>{10, 10, 11, 11, 12}));
    EXPECT_EQ(positions.back(), 69);
    for (size_t i = 0; i < positions.size(); ++i)
        EXPECT_EQ(positions[i], int(60 * i / 120 + 10)) << i;
    EXPECT_EQ(Machine().CountOf(0xA0), 120u);
}

struct DataCase {
    const char* name;
    size_t imageSize;
    int progressBase;
    std::vector<int> positions;
    std::vector<std::wstring> partLines; // the part of each line before its seconds
    friend void PrintTo(const DataCase& c, std::ostream* os) { *os << c.name; }
};

class DataProgressTest : public ProgressTest, public ::testing::WithParamInterface<DataCase> {};

TEST_P(DataProgressTest, OnePositionPerPartAndOneLogLinePerPart)
{
    const DataCase& c = GetParam();
    sim::UpdateContent content = DefaultContent();
    content.image = Pattern(c.imageSize, 11);
    SetContent(content);
    Attach();

    ASSERT_TRUE(RunDataPhase(&m_window, TickCount(), c.progressBase)) << Narrow(m_window.Status());

    EXPECT_EQ(m_window.Positions(), c.positions);
    std::vector<std::wstring> lines = LogLinesStartingWith(L"part ");
    ASSERT_EQ(lines.size(), c.partLines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].rfind(c.partLines[i], 0), 0u) << Narrow(lines[i]);
        EXPECT_EQ(lines[i].substr(lines[i].size() - 2), L" s");
    }
    EXPECT_EQ(LogLinesStartingWith(L"time : ").size(), 1u);
    EXPECT_EQ(RequestsFor(kPartTag).size(), c.partLines.size());
    ExpectStorageAsServed(false, true);
    ExpectLeftNormalAndClosed();
}

INSTANTIATE_TEST_SUITE_P(
    Images, DataProgressTest,
    ::testing::Values(
        DataCase{"ThreePartsAndTen", 3 * MiB + 10, 40, {40, 60, 80, 100},
                 {L"part 0/3 time : ", L"part 1/3 time : ", L"part 2/3 time : ", L"part 3/3 time : "}},
        DataCase{"ExactlyTwoParts", 2 * MiB, 40, {40, 70}, {L"part 0/2 time : ", L"part 1/2 time : "}},
        DataCase{"TwoPartsAndARemainderFromZero", 2 * MiB + 512, 0, {0, 50, 100},
                 {L"part 0/2 time : ", L"part 1/2 time : ", L"part 2/2 time : "}},
        // Less than one whole part: the single part shows the start of the range.
        DataCase{"LessThanOnePart", 5000, 70, {70}, {L"part 0/0 time : "}},
        DataCase{"LessThanOnePartFromZero", 1, 0, {0}, {L"part 0/0 time : "}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProgressTest, CardPhaseWithTop10And25RecordsRunsFrom0To9)
{
    sim::UpdateContent c = DefaultContent();
    c.card.clear();
    for (int i = 0; i < 25; ++i)
        c.card.push_back({0x80, 0xCA, 0x00, uint8_t(i), 0x00});
    SetContent(c);
    Attach();

    ASSERT_TRUE(RunCardPhase(&m_window, TickCount(), 10));

    std::vector<int> positions = m_window.Positions();
    ASSERT_EQ(positions.size(), 25u);
    EXPECT_EQ(std::vector<int>(positions.begin(), positions.begin() + 6), (std::vector<int>{0, 0, 0, 1, 1, 2}));
    for (size_t i = 0; i < positions.size(); ++i)
        EXPECT_EQ(positions[i], int(i * 10 / 25)) << i;
    // Each record waits a second for the card's answer.
    EXPECT_GE(m_clock.SleptMs(), 25000u);
}

TEST_F(ProgressTest, CardPhaseRelaysASingleRecordAtPositionZero)
{
    sim::UpdateContent c = DefaultContent();
    c.card = {{0x80, 0xCA, 0x00, 0x66, 0x00}};
    SetContent(c);
    Attach();
    ASSERT_TRUE(RunCardPhase(&m_window, TickCount(), 100));
    EXPECT_EQ(m_window.Positions(), std::vector<int>{0});
    EXPECT_EQ(Machine().Card().SmartCard().Apdus().back(), c.card[0]);
}

TEST_F(ProgressTest, FirmwareOfTwoRecordsWritesItsOneChunkAt20)
{
    sim::UpdateContent c = DefaultContent();
    c.firmware = Pattern(1024, 4);
    SetContent(c);
    Attach();
    ASSERT_TRUE(RunFirmwarePhase(&m_window, TickCount()));
    EXPECT_EQ(m_window.Positions(), std::vector<int>{20});
    EXPECT_EQ(Machine().CountOf(0xA4), 1u);
    ExpectStorageAsServed(true, false);
}

} // namespace
} // namespace vu::test
