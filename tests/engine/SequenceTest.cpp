// The probe, the update's short and long roads and the two repairs from end
// to end, with what the user sees at each step and the machine's storage
// compared with what the server served.
#include "engine/Engine.h"
#include "engine/PhaseFrame.h"
#include "tests/engine/EngineFixture.h"

#include <algorithm>
#include <cwchar>

namespace vu::test {
namespace {

class SequenceTest : public EngineTest {
public:
    std::vector<std::wstring> Tags() const
    {
        std::vector<std::wstring> out;
        for (const sim::ReceivedRequest& r : m_server.ProtocolRequests())
            out.push_back(Widen(sim::HexText(r.parsed.fields.empty() ? Bytes() : r.parsed.fields[0])));
        return out;
    }

    // Buttons off (1001 then 1004) first, and on again (1001 then 1004) last.
    void ExpectButtonsBracketTheRun()
    {
        std::vector<RecordingWindow::Event> all = m_window.Events();
        std::vector<RecordingWindow::Event> b = m_window.Events(RecordingWindow::Kind::Enable);
        ASSERT_EQ(b.size(), 4u);
        EXPECT_EQ(all[0].kind, RecordingWindow::Kind::Enable);
        EXPECT_EQ(all[1].kind, RecordingWindow::Kind::Enable);
        EXPECT_EQ(all[all.size() - 2].kind, RecordingWindow::Kind::Enable);
        EXPECT_EQ(all.back().kind, RecordingWindow::Kind::Enable);
        EXPECT_EQ((std::vector<int>{b[0].id, b[0].value, b[1].id, b[1].value, b[2].id, b[2].value, b[3].id,
                                    b[3].value}),
                  (std::vector<int>{IDC_UPDATE_ONLINE, 0, IDC_MENU_BUTTON, 0, IDC_UPDATE_ONLINE, 1, IDC_MENU_BUTTON,
                                    1}));
    }

    void ExpectTwoBeeps()
    {
        std::vector<VirtualSystem::BeepEvent> beeps = m_clock.Beeps();
        ASSERT_EQ(beeps.size(), 2u);
        for (const VirtualSystem::BeepEvent& b : beeps) {
            EXPECT_EQ(b.hz, 600u);
            EXPECT_EQ(b.ms, 200u);
        }
        EXPECT_EQ(beeps[1].atUs - beeps[0].atUs, 400000u); // 200 ms tone, 200 ms pause
    }

    static bool IsLine(const std::wstring& text, const std::wstring& head)
    {
        return text.rfind(head + L"(", 0) == 0 && text.size() > 4 && text.substr(text.size() - 4) == L" s) ";
    }
};

const std::wstring kWaitHead = L"*** Please do NOT power off, wait for machine enter main interface(no picture) ***  ( ";

// ---------------------------------------------------------------- probe

TEST_F(SequenceTest, ProbeOfAHealthyMachineShowsBothItemsAndLeavesItStartingNormally)
{
    sim::MachineModel& m = Attach();
    const uint32_t start = m_clock.NowMs();
    EXPECT_TRUE(PrepareDevice(&m_window));
    EXPECT_GE(m_clock.NowMs() - start, 1300u); // the 1000 ms wait and the boot-loader entry
    EXPECT_EQ(m_window.Text(IDC_DEVICE_INFO_1), L"V2.13");
    EXPECT_EQ(m_window.Text(IDC_DEVICE_INFO_2), L"A0103");
    EXPECT_TRUE(m_window.Statuses().empty());
    EXPECT_TRUE(m_window.Positions().empty());
    for (const std::wstring& line : m_log.Lines()) // only the link's traffic
        EXPECT_TRUE(line.rfind(L"> :  ", 0) == 0 || line.rfind(L"< :  ", 0) == 0) << Narrow(line);
    EXPECT_EQ(m.RestartCount(), 2u);
    ExpectLeftNormalAndClosed();
}

TEST_F(SequenceTest, ProbeOfABrokenMachineShowsItemOneKeepsTheOldSecondTextAndFails)
{
    Attach(sim::MachineState::Broken());
    m_window.SetItemText(IDC_DEVICE_INFO_2, L"old");
    EXPECT_FALSE(PrepareDevice(&m_window));
    EXPECT_EQ(m_window.Text(IDC_DEVICE_INFO_1), L"V2.13");
    EXPECT_EQ(m_window.Text(IDC_DEVICE_INFO_2), L"old");
    ExpectLeftNormalAndClosed();
}

TEST_F(SequenceTest, ProbeWithoutAMachineFailsAfterFourSecondsAndChangesNothing)
{
    const uint32_t start = m_clock.NowMs();
    EXPECT_FALSE(PrepareDevice(&m_window));
    EXPECT_GE(m_clock.NowMs() - start, 4000u);
    EXPECT_LT(m_clock.NowMs() - start, 4100u);
    EXPECT_TRUE(m_window.Events().empty());
}

TEST_F(SequenceTest, ProbeShowsALongItemTextWithinItsBuffer)
{
    Attach().State().items[1] = Bytes(400, 'L');
    PrepareDevice(&m_window);
    EXPECT_LE(m_window.Text(IDC_DEVICE_INFO_1).size(), 254u);
    ExpectLeftNormalAndClosed();
}

// ---------------------------------------------------------------- update

TEST_F(SequenceTest, ShortRoadWritesFirmwareThenImageAndEndsWithTheSuccessLine)
{
    sim::UpdateContent c = DefaultContent();
    c.firmware = Pattern(5000, 21);
    c.image = Pattern(1048576 + 3000, 22);
    SetContent(c);
    Attach();

    EXPECT_EQ(UpdateThread(&m_window), 0u);

    EXPECT_EQ(Tags(), (std::vector<std::wstring>{L"02 01 01", L"02 01 03", L"02 01 02", L"02 01 02"}));
    // The probe's second, a second before each phase, the data phase's second after EnterBios.
    EXPECT_EQ(m_clock.Sleeps(1000), (std::vector<uint32_t>{1000, 1000, 1000, 1000}));
    ExpectStorageAsServed();
    ASSERT_NE(Machine().Item(6), nullptr);
    EXPECT_EQ(*Machine().Item(6), Text("V2.30"));
    ExpectLeftNormalAndClosed();

    std::vector<std::wstring> s = m_window.Statuses();
    ASSERT_GE(s.size(), 3u);
    EXPECT_EQ(s.front(), L"Prepare to update...");
    EXPECT_TRUE(IsLine(s.back(), L"Update success. ")) << Narrow(s.back());
    EXPECT_EQ(m_window.Text(IDC_DEVICE_INFO_1), L"V2.13");
    // Firmware from 0 (five chunks of six records), the data from 40, the bar empty at the end.
    EXPECT_EQ(m_window.DistinctPositions(), (std::vector<int>{6, 13, 20, 26, 33, 40, 100, 0}));
    EXPECT_EQ(m_window.Position(), 0);
    ExpectTwoBeeps();
    ExpectButtonsBracketTheRun();
}

TEST_F(SequenceTest, LongRoadRestoresABrokenMachineThenWaitsTwentySecondsThenWritesTheImage)
{
    sim::UpdateContent c = DefaultContent();
    c.image = Pattern(2 * 1048576 + 77, 23);
    SetContent(c);
    sim::MachineModel& m = Attach(sim::MachineState::Broken());

    EXPECT_EQ(UpdateThread(&m_window), 0u);

    EXPECT_EQ(Tags(),
              (std::vector<std::wstring>{L"07 42", L"07 41", L"02 01 03", L"02 01 02", L"02 01 02", L"02 01 02"}));
    // The probe's second; the card's INITIALIZE UPDATE and a second per relayed record; two
    // seconds before the playback; the twenty-second restart wait; the data phase's second.
    std::vector<uint32_t> sleeps{1000, 2000, 1000, 1000, 1000, 2000};
    sleeps.insert(sleeps.end(), 20, 1000);
    sleeps.push_back(1000);
    EXPECT_EQ(m_clock.Sleeps(1000), sleeps);
    ASSERT_NE(m.Item(6), nullptr);
    EXPECT_EQ(*m.Item(6), Text("V2.30"));
    ExpectStorageAsServed(false, true);
    EXPECT_TRUE(m.Firmware().empty()); // the long road writes no firmware
    std::vector<Bytes> apdus = m.Card().SmartCard().Apdus();
    EXPECT_TRUE(std::equal(c.card.begin(), c.card.end(), apdus.end() - std::ptrdiff_t(c.card.size())));
    ExpectLeftNormalAndClosed();

    // The restart wait: 0 to 19, one a second, with the bar left alone.
    std::vector<RecordingWindow::Event> events = m_window.Events();
    std::vector<size_t> waits;
    for (size_t i = 0; i < events.size(); ++i)
        if (events[i].kind == RecordingWindow::Kind::Status && events[i].text.rfind(kWaitHead, 0) == 0)
            waits.push_back(i);
    ASSERT_EQ(waits.size(), 20u);
    for (size_t k = 0; k < 20; ++k) {
        EXPECT_EQ(events[waits[k]].text, kWaitHead + std::to_wstring(k) + L" )");
        if (k > 0) {
            EXPECT_EQ(waits[k], waits[k - 1] + 1); // nothing else in between
            EXPECT_EQ(events[waits[k]].atMs - events[waits[k - 1]].atMs, 1000u);
        }
    }
    // The data phase begins a second after the last wait message, at 70.
    std::vector<int> before, after;
    for (size_t i = 0; i < events.size(); ++i)
        if (events[i].kind == RecordingWindow::Kind::SetProgress)
            (i < waits.front() ? before : after).push_back(events[i].value);
    ASSERT_FALSE(before.empty());
    EXPECT_LE(*std::max_element(before.begin(), before.end()), 69);
    EXPECT_EQ(after, (std::vector<int>{70, 85, 100, 0}));
    // Card 0 to 9, playback 10 to 69.
    EXPECT_EQ(before, (std::vector<int>{0, 3, 6, 10, 30, 50}));

    EXPECT_TRUE(IsLine(m_window.Status(), L"Update success. ")) << Narrow(m_window.Status());
    ExpectTwoBeeps();
    ExpectButtonsBracketTheRun();
}

TEST_F(SequenceTest, AFailedSectorWriteRunsTheBarBackFrom40StepByStep)
{
    Attach().AddFault(0xD8, Refuse(-1));

    EXPECT_EQ(UpdateThread(&m_window), 0u);

    EXPECT_GE(m_window.StatusIndex(L"Update failed.(24)"), 0);
    const std::wstring line = m_window.Status();
    ASSERT_TRUE(IsLine(line, L"Update failed. ")) << Narrow(line);
    std::vector<RecordingWindow::Event> events = m_window.Events();
    size_t first = 0;
    while (events[first].text != line)
        ++first;
    std::vector<int> windBack;
    uint64_t previous = events[first].atMs;
    for (size_t i = first + 1; i < events.size(); ++i) {
        if (events[i].kind != RecordingWindow::Kind::SetProgress)
            continue;
        windBack.push_back(events[i].value);
        EXPECT_EQ(events[i].atMs - previous, 5u);
        previous = events[i].atMs;
        ASSERT_LT(i + 1, events.size());
        EXPECT_EQ(events[i + 1].text, line); // the line set again after every step
    }
    std::vector<int> expected;
    for (int k = 40; k >= 0; --k)
        expected.push_back(k);
    EXPECT_EQ(windBack, expected);
    EXPECT_TRUE(m_clock.Beeps().empty());
    ExpectLeftNormalAndClosed();
    ExpectButtonsBracketTheRun();
}

TEST_F(SequenceTest, WithoutAMachineTheLongRoadFailsInTheCardPhaseAfterThirteenSeconds)
{
    EXPECT_EQ(UpdateThread(&m_window), 0u);

    EXPECT_EQ(m_window.Statuses(),
              (std::vector<std::wstring>{L"Prepare to update...", L"Device not found.(1)",
                                         L"Update failed. (0 m 13 s) ", L"Update failed. (0 m 13 s) "}));
    EXPECT_EQ(m_window.Positions(), std::vector<int>{0}); // one wind-back step
    EXPECT_TRUE(m_server.ProtocolRequests().empty());
    EXPECT_TRUE(m_clock.Beeps().empty());
    ExpectButtonsBracketTheRun();
}

TEST_F(SequenceTest, StartedAsAWorkerTheUpdateRunsOnItsOwnThread)
{
    Attach();
    StartWorker(UpdateThread, &m_window);
    ASSERT_TRUE(m_window.WaitForWorkerEnd(std::chrono::seconds(60)));
    EXPECT_TRUE(IsLine(m_window.Status(), L"Update success. ")) << Narrow(m_window.Status());
    ExpectStorageAsServed();
}

TEST_F(SequenceTest, EachSequenceReportsItsOutcomeOnce)
{
    struct Case {
        const char* name;
        WorkerProc proc;
        bool machine; // attached from this case on
        bool succeeded;
    };
    const Case cases[] = {
        {"update without a machine", UpdateThread, false, false},
        {"card repair without a machine", RepairInternalErrorThread, false, false},
        {"version query", VersionInfoThread, false, true},
        {"update", UpdateThread, true, true},
        {"data repair", RepairDataThread, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.machine && m_driver.DeviceCount() == 0)
            Attach();
        RecordingWindow window(m_context, &m_clock);
        c.proc(&window);
        EXPECT_EQ(window.Outcomes(), std::vector<bool>{c.succeeded});
    }
    NoReply(kVersionTag);
    RecordingWindow window(m_context, &m_clock);
    VersionInfoThread(&window);
    EXPECT_EQ(window.Outcomes(), std::vector<bool>{false}) << "no version notes";
}

struct EndingCase {
    const char* name;
    uint32_t seconds;
    std::wstring shown;
    friend void PrintTo(const EndingCase& c, std::ostream* os) { *os << c.name; }
};

class EndingTest : public SequenceTest, public ::testing::WithParamInterface<EndingCase> {};

TEST_P(EndingTest, MinutesAndSecondsCountFromTheStartWithoutWrappingTheMinutes)
{
    const uint32_t startTick = TickCount() - GetParam().seconds * 1000;
    SuccessEnding(&m_window, startTick, L"Update success. (%d m %d s) ");
    EXPECT_EQ(m_window.Status(), L"Update success. (" + GetParam().shown + L") ");
    FailureEnding(&m_window, startTick, L"Update failed. (%d m %d s) ");
    EXPECT_EQ(m_window.Status(), L"Update failed. (" + GetParam().shown + L") ");
}

INSTANTIATE_TEST_SUITE_P(Times, EndingTest,
                         ::testing::Values(EndingCase{"FourMinutesFive", 245, L"4 m 5 s"},
                                           EndingCase{"JustUnderAMinute", 59, L"0 m 59 s"},
                                           EndingCase{"AnHour", 3600, L"60 m 0 s"},
                                           EndingCase{"SeventyFiveMinutes", 75 * 60 + 5, L"75 m 5 s"}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- repairs

TEST_F(SequenceTest, RepairsOfAMachineThatFailsTheProbeSayWhatToDoAndRunNoPhase)
{
    for (WorkerProc thread : {RepairDataThread, RepairInternalErrorThread}) {
        RecordingWindow window(m_context, &m_clock);
        EXPECT_EQ(thread(&window), 0u);
        EXPECT_EQ(window.Statuses(),
                  (std::vector<std::wstring>{L"Prepare to update...", L"Please update machine to latest version first.",
                                             L"Repair failed. (0 m 7 s) ", L"Repair failed. (0 m 7 s) "}));
        uint64_t hint = window.StatusTime(L"Repair failed. (0 m 7 s) ")
                        - window.StatusTime(L"Please update machine to latest version first.");
        EXPECT_GE(hint, 3000u);
        EXPECT_LT(hint, 3010u);
        EXPECT_EQ(window.Positions(), std::vector<int>{0});
        EXPECT_TRUE(window.Enabled(IDC_UPDATE_ONLINE));
        EXPECT_TRUE(window.Enabled(IDC_MENU_BUTTON));
    }
    EXPECT_TRUE(m_server.ProtocolRequests().empty());
}

TEST_F(SequenceTest, RepairOfABrokenMachineLeavesItAfterTheProbe)
{
    sim::MachineModel& m = Attach(sim::MachineState::Broken());
    EXPECT_EQ(RepairDataThread(&m_window), 0u);
    EXPECT_GE(m_window.StatusIndex(L"Please update machine to latest version first."), 0);
    EXPECT_TRUE(IsLine(m_window.Status(), L"Repair failed. ")) << Narrow(m_window.Status());
    EXPECT_TRUE(m_server.ProtocolRequests().empty());
    EXPECT_EQ(m.RestartCount(), 2u); // the probe's own entry and reset only
    ExpectLeftNormalAndClosed();
}

TEST_F(SequenceTest, DataRepairRewritesTheWholeImageFromZeroTo100)
{
    sim::UpdateContent c = DefaultContent();
    c.image = Pattern(2 * 1048576 + 4096, 31);
    SetContent(c);
    sim::MachineModel& m = Attach();
    m.State().image = Bytes(3 * 1048576, 0xEE); // a damaged image, larger than the served one

    EXPECT_EQ(RepairDataThread(&m_window), 0u);

    EXPECT_EQ(m_window.Positions(), (std::vector<int>{0, 50, 100, 0}));
    EXPECT_TRUE(IsLine(m_window.Status(), L"Repair success. ")) << Narrow(m_window.Status());
    EXPECT_TRUE(m.Image(0, c.image.size()) == c.image);
    EXPECT_EQ(Tags(), (std::vector<std::wstring>{L"02 01 03", L"02 01 02", L"02 01 02", L"02 01 02"}));
    ExpectTwoBeeps();
    ExpectButtonsBracketTheRun();
    ExpectLeftNormalAndClosed();
}

TEST_F(SequenceTest, InternalErrorRepairRelaysFourCardRecordsFromZeroTo75)
{
    sim::UpdateContent c = DefaultContent();
    c.card = {{0x80, 0xCA, 0, 1, 0}, {0x80, 0xCA, 0, 2, 0}, {0x80, 0xCA, 0, 3, 0}, {0x80, 0xCA, 0, 4, 0}};
    SetContent(c);
    sim::MachineModel& m = Attach();

    EXPECT_EQ(RepairInternalErrorThread(&m_window), 0u);

    EXPECT_EQ(m_window.Positions(), (std::vector<int>{0, 25, 50, 75, 0}));
    EXPECT_TRUE(IsLine(m_window.Status(), L"Repair success. ")) << Narrow(m_window.Status());
    std::vector<Bytes> apdus = m.Card().SmartCard().Apdus();
    EXPECT_TRUE(std::equal(c.card.begin(), c.card.end(), apdus.end() - 4));
    EXPECT_EQ(Tags(), std::vector<std::wstring>{L"07 42"});
    ExpectTwoBeeps();
    ExpectLeftNormalAndClosed();
}

TEST_F(SequenceTest, ARepairOfOverAnHourShowsItsMinutesUnwrapped)
{
    sim::UpdateContent c = DefaultContent();
    c.card.assign(3700, Bytes{0x80, 0xCA, 0x00, 0x66, 0x00}); // a second each
    SetContent(c);
    Attach();

    EXPECT_EQ(RepairInternalErrorThread(&m_window), 0u);

    const std::wstring line = m_window.Status();
    ASSERT_TRUE(IsLine(line, L"Repair success. ")) << Narrow(line);
    const long minutes = std::wcstol(line.c_str() + 17, nullptr, 10);
    EXPECT_GE(minutes, 61) << Narrow(line);
    EXPECT_LT(minutes, 70) << Narrow(line);
}

TEST_F(SequenceTest, AFailedRepairPhaseShowsItsMessageThenTheFailureLine)
{
    SetContent([] {
        sim::UpdateContent c = DefaultContent();
        c.image = Pattern(3 * 1048576, 5);
        return c;
    }());
    NoReply(kPartTag, 2);
    Attach();

    EXPECT_EQ(RepairDataThread(&m_window), 0u);

    int message = m_window.StatusIndex(L"Communication with server failed.(22)");
    ASSERT_GE(message, 0);
    std::vector<std::wstring> s = m_window.Statuses();
    EXPECT_TRUE(IsLine(s[size_t(message) + 1], L"Repair failed. ")) << Narrow(s[size_t(message) + 1]);
    // From 33 (the second part's position) back to 0.
    std::vector<int> p = m_window.Positions();
    ASSERT_EQ(p.size(), 2u + 34u);
    EXPECT_EQ(p[1], 33);
    EXPECT_EQ(p.back(), 0);
    EXPECT_TRUE(m_log.Contains(L"Communication with server failed.(22)"));
    ExpectLeftNormalAndClosed();
}

} // namespace
} // namespace vu::test
