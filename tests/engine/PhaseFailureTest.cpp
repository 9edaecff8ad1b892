// Every numbered failure of the four phases: the fault that causes it, the
// message with its number, how long it stays, and the machine reset and the
// port closed afterwards, whatever step failed.
#include "engine/Engine.h"
#include "tests/engine/EngineFixture.h"

#include <functional>

namespace vu::test {
namespace {

enum class Phase { Playback, Firmware, Data, Card };

bool RunPhase(Phase phase, IWorkerWindow* window, uint32_t startTick)
{
    switch (phase) {
    case Phase::Playback: return RunPlaybackPhase(window, startTick);
    case Phase::Firmware: return RunFirmwarePhase(window, startTick);
    case Phase::Data: return RunDataPhase(window, startTick, 40);
    case Phase::Card: return RunCardPhase(window, startTick, 10);
    }
    return false;
}

enum class Machine { Healthy, Broken, Foreign }; // Foreign: a converter of another description

struct FailureCase {
    const char* name;
    Phase phase;
    Machine machine;
    std::function<void(EngineTest&)> inject;
    std::wstring message;
    std::function<void(EngineTest&)> check; // what else the failure implies
    friend void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }
};

void Nothing(EngineTest&) {}

sim::SmartCardModel& CardOf(EngineTest& t) { return t.Machine().Card().SmartCard(); }

// A machine fault on a command.
std::function<void(EngineTest&)> MachineFault(uint8_t command, sim::MachineFault fault)
{
    return [=](EngineTest& t) { t.Machine().AddFault(command, fault); };
}
std::function<void(EngineTest&)> ServerFault(sim::Fault fault)
{
    return [=](EngineTest& t) { t.Fault(fault); };
}
std::function<void(EngineTest&)> CardFault(sim::CardFault fault)
{
    return [=](EngineTest& t) { CardOf(t).AddFault(fault); };
}
std::function<void(EngineTest&)> Content(std::function<void(sim::UpdateContent&)> edit)
{
    return [=](EngineTest& t) {
        sim::UpdateContent c = EngineTest::DefaultContent();
        edit(c);
        t.SetContent(c);
    };
}
std::function<void(EngineTest&)> Count(uint8_t command, size_t expected)
{
    return [=](EngineTest& t) { EXPECT_EQ(t.Machine().CountOf(command), expected) << "command " << int(command); };
}
std::function<void(EngineTest&)> NoRequest(const Bytes& tag)
{
    return [=](EngineTest& t) { EXPECT_TRUE(t.RequestsFor(tag).empty()); };
}
std::function<void(EngineTest&)> Both(std::function<void(EngineTest&)> a, std::function<void(EngineTest&)> b)
{
    return [=](EngineTest& t) {
        a(t);
        b(t);
    };
}
std::function<void(EngineTest&)> LogHas(std::vector<std::wstring> lines)
{
    return [=](EngineTest& t) {
        for (const std::wstring& line : lines)
            EXPECT_TRUE(t.m_log.Contains(line)) << Narrow(line);
    };
}

const std::vector<Bytes> kHeaderOnly{{0x00, 0x00, 0x00, 0x00}};

const std::wstring kNotFound = L"Device not found.(1)";
std::wstring InfoFailed(int n) { return L"Getting device info failed.(" + std::to_wstring(n) + L")"; }
std::wstring ServerFailed(int n) { return L"Communication with server failed.(" + std::to_wstring(n) + L")"; }
std::wstring UpdateFailed(int n) { return L"Update failed.(" + std::to_wstring(n) + L")"; }

const FailureCase kCases[] = {
    // Playback
    {"Playback1NoMachine", Phase::Playback, Machine::Foreign, Nothing, kNotFound, {}},
    {"Playback3Identity", Phase::Playback, Machine::Healthy, MachineFault(0xD1, Refuse()), InfoFailed(3),
     NoRequest(kPlaybackTag)},
    {"Playback4InformationBlock", Phase::Playback, Machine::Healthy, MachineFault(0xBE, Refuse()), InfoFailed(4),
     NoRequest(kPlaybackTag)},
    {"Playback5NoReply", Phase::Playback, Machine::Healthy, ServerFault(NoReplyFault(kPlaybackTag)), ServerFailed(5),
     Count(0xA0, 0)},
    {"Playback6SingleRecord", Phase::Playback, Machine::Healthy,
     Content([](sim::UpdateContent& c) { c.playback.resize(1); }), ServerFailed(6), Count(0xA0, 0)},
    {"Playback8RecordRefused", Phase::Playback, Machine::Healthy, MachineFault(0xA0, Refuse(1, 1)),
     UpdateFailed(8), Count(0xA0, 2)},
    // Firmware
    {"Firmware1NoMachine", Phase::Firmware, Machine::Foreign, Nothing, kNotFound, {}},
    {"Firmware3Item1", Phase::Firmware, Machine::Healthy, MachineFault(0xA1, Refuse()), InfoFailed(3),
     NoRequest(kFirmwareTag)},
    {"Firmware4Item6Missing", Phase::Firmware, Machine::Broken, Nothing, InfoFailed(4), NoRequest(kFirmwareTag)},
    {"Firmware5NoReply", Phase::Firmware, Machine::Healthy, ServerFault(NoReplyFault(kFirmwareTag)),
     ServerFailed(5), Count(0xA5, 0)},
    {"Firmware6SingleRecord", Phase::Firmware, Machine::Healthy,
     Content([](sim::UpdateContent& c) { c.firmware.clear(); }), ServerFailed(6), Count(0xA5, 0)},
    {"Firmware7BeginRefused", Phase::Firmware, Machine::Healthy, MachineFault(0xA5, Refuse()), UpdateFailed(7),
     Count(0xA4, 0)},
    {"Firmware8PrepareRefused", Phase::Firmware, Machine::Healthy, MachineFault(0xAB, Refuse()), UpdateFailed(8),
     Count(0xA4, 0)},
    {"Firmware9ChunkRefusedSixTimes", Phase::Firmware, Machine::Healthy, MachineFault(0xA4, Refuse(6, 1)),
     UpdateFailed(9),
     Both(Both(Count(0xA4, 7), Count(0xA6, 0)),
          LogHas({L"re w f 1", L"re w f 2", L"re w f 3", L"re w f 4", L"re w f 5"}))},
    {"Firmware10EndRefused", Phase::Firmware, Machine::Healthy, MachineFault(0xA6, Refuse()), UpdateFailed(10),
     Count(0xA0, 0)},
    // Data
    {"Data1NoMachine", Phase::Data, Machine::Foreign, Nothing, kNotFound, LogHas({L"time : 4 s"})},
    {"Data3Item1", Phase::Data, Machine::Healthy, MachineFault(0xA1, Refuse()), InfoFailed(3), NoRequest(kSizeTag)},
    {"Data4Item6", Phase::Data, Machine::Healthy, MachineFault(0xA1, Refuse(1, 1)), InfoFailed(4),
     NoRequest(kSizeTag)},
    {"Data11NoReply", Phase::Data, Machine::Healthy, ServerFault(NoReplyFault(kSizeTag)), ServerFailed(11),
     Count(0xD7, 0)},
    {"Data12SingleRecord", Phase::Data, Machine::Healthy, ServerFault(RawReplyFault(kSizeTag, kHeaderOnly)),
     ServerFailed(12), Count(0xD7, 0)},
    {"Data13ImageSizeZero", Phase::Data, Machine::Healthy, Content([](sim::UpdateContent& c) { c.image.clear(); }),
     ServerFailed(13), Both(Count(0xD7, 0), LogHas({L"R_Count:2"}))},
    {"Data13ImageBeyondTheAddressRange", Phase::Data, Machine::Healthy,
     ServerFault(RawReplyFault(kSizeTag, {Bytes(4, 0), {0x01, 0x00, 0x00, 0x80}})), ServerFailed(13),
     Both(Count(0xD7, 0), LogHas({L"R_Count:2", L"R(1):01 00 00 80"}))},
    {"Data21BeginRefused", Phase::Data, Machine::Healthy, MachineFault(0xD7, Refuse()), UpdateFailed(21),
     Both(NoRequest(kPartTag), Count(0xDB, 0))},
    {"Data22NoReplyToSecondPart", Phase::Data, Machine::Healthy,
     [](EngineTest& t) {
         sim::UpdateContent c = EngineTest::DefaultContent();
         c.image = Pattern(1048576 + 5000, 7);
         t.SetContent(c);
         t.NoReply(kPartTag, 1);
     },
     ServerFailed(22),
     [](EngineTest& t) {
         EXPECT_EQ(t.RequestsFor(kPartTag).size(), 2u); // no third part is asked for
         EXPECT_EQ(t.Machine().CountOf(0xDB), 1u);      // the data write is still ended
         EXPECT_EQ(t.LogLinesStartingWith(L"part ").size(), 1u);
     }},
    {"Data23SingleRecordForAPart", Phase::Data, Machine::Healthy, ServerFault(RawReplyFault(kPartTag, kHeaderOnly)),
     ServerFailed(23), Both(Count(0xD8, 0), Count(0xDB, 1))},
    {"Data24SectorRefusedSixTimes", Phase::Data, Machine::Healthy, MachineFault(0xD8, Refuse(6)), UpdateFailed(24),
     [](EngineTest& t) {
         EXPECT_EQ(t.Machine().CountOf(0xD8), 6u);
         EXPECT_EQ(t.Machine().CountOf(0xDB), 1u);
         EXPECT_EQ(t.LogLinesStartingWith(L"re w s ").size(), 5u);
         EXPECT_EQ(t.LogLinesStartingWith(L"part 0/0 time : ").size(), 1u); // logged for a failed part too
     }},
    // Card
    {"Card1NoMachine", Phase::Card, Machine::Foreign, Nothing, kNotFound, {}},
    {"Card3Identity", Phase::Card, Machine::Healthy, MachineFault(0xD1, Refuse()), InfoFailed(3), Count(0xB0, 0)},
    {"Card4InformationBlock", Phase::Card, Machine::Healthy, MachineFault(0xBE, Refuse()), InfoFailed(4),
     Count(0xB0, 0)},
    {"Card5NoJcopAnswerToReset", Phase::Card, Machine::Healthy,
     [](EngineTest& t) {
         CardOf(t).SetAnswerToReset({0x3B, 0x8A, 0x80, 0x01, 0x00, 0x31, 0xC1, 0x73, 0xC8, 0x40, 0x00, 0x00, 0x90,
                                     0x00, 0x90});
     },
     UpdateFailed(5), NoRequest(kCardTag)},
    {"Card6ApplicationMissing", Phase::Card, Machine::Healthy,
     CardFault(sim::CardFault().For({0x00, 0xA4, 0x04, 0x00, 0x06}).Answer({0x6A, 0x82})), UpdateFailed(6),
     NoRequest(kCardTag)},
    {"Card7ReadNotDelivered", Phase::Card, Machine::Healthy, MachineFault(0xB2, Silent(1, 1)), UpdateFailed(7),
     NoRequest(kCardTag)},
    {"Card8ReadRefusedByCard", Phase::Card, Machine::Healthy, [](EngineTest& t) { CardOf(t).SetReadStatus(0x6A, 0x82); },
     UpdateFailed(8), NoRequest(kCardTag)},
    {"Card9CardManagerMissing", Phase::Card, Machine::Healthy,
     CardFault(sim::CardFault().For({0x00, 0xA4, 0x04, 0x00, 0x07}).Answer({0x6A, 0x82})), UpdateFailed(9),
     NoRequest(kCardTag)},
    {"Card10InitializeUpdateRefused", Phase::Card, Machine::Healthy,
     CardFault(sim::CardFault().For({0x80, 0x50}).Answer({0x6A, 0x88})), UpdateFailed(10), NoRequest(kCardTag)},
    {"Card11NoReply", Phase::Card, Machine::Healthy, ServerFault(NoReplyFault(kCardTag)), ServerFailed(11), {}},
    {"Card21CardSilentToARecord", Phase::Card, Machine::Healthy,
     [](EngineTest& t) {
         sim::UpdateContent c = EngineTest::DefaultContent();
         c.card = {{0x80, 0xCA, 0x00, 0x66, 0x00}, {0x80, 0xE2, 0x00, 0x00, 0x01, 0x11}, {0x80, 0xCA, 0x00, 0x67, 0x00}};
         t.SetContent(c);
         CardOf(t).AddFault(sim::CardFault().For({0x80, 0xE2}).Silent());
     },
     UpdateFailed(21), [](EngineTest& t) {
         std::vector<Bytes> apdus = CardOf(t).Apdus();
         EXPECT_TRUE(std::find(apdus.begin(), apdus.end(), Bytes{0x80, 0xCA, 0x00, 0x67, 0x00}) == apdus.end())
             << "a record after the failed one was relayed";
     }},
};

class PhaseFailureTest : public EngineTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(PhaseFailureTest, ShowsItsNumberedMessageThenResetsAndCloses)
{
    const FailureCase& c = GetParam();
    switch (c.machine) {
    case Machine::Healthy: Attach(); break;
    case Machine::Broken: Attach(sim::MachineState::Broken()); break;
    case Machine::Foreign: Attach(sim::MachineState::Healthy(), "FT232R USB UART"); break;
    }
    c.inject(*this);
    const uint32_t waitMs = c.phase == Phase::Data ? 3000 : 5000;

    EXPECT_FALSE(RunPhase(c.phase, &m_window, TickCount()));
    const uint64_t returnedMs = m_clock.NowMs();

    // The message is the last status and stays for the phase's wait.
    ASSERT_EQ(m_window.Status(), c.message);
    EXPECT_EQ(m_window.StatusIndex(c.message), int(m_window.Statuses().size()) - 1);
    uint64_t shownMs = m_window.StatusTime(c.message);
    EXPECT_GE(returnedMs - shownMs, waitMs);
    EXPECT_LT(returnedMs - shownMs, waitMs + 20);

    // Only the data phase logs its message, after its "time : " line.
    int messageLine = m_log.IndexOf(c.message);
    if (c.phase == Phase::Data) {
        ASSERT_GE(messageLine, 0);
        std::vector<std::wstring> lines = m_log.Lines();
        ASSERT_GE(messageLine, 1);
        EXPECT_EQ(lines[size_t(messageLine) - 1].rfind(L"time : ", 0), 0u) << Narrow(lines[size_t(messageLine) - 1]);
    } else {
        EXPECT_LT(messageLine, 0);
    }

    ExpectLeftNormalAndClosed();
    if (c.machine == Machine::Foreign)
        EXPECT_EQ(Machine().RestartCount(), 0u); // never opened, never touched
    else
        EXPECT_GE(Machine().RestartCount(), 2u); // into the boot loader and out again
    if (c.check)
        c.check(*this);
}

INSTANTIATE_TEST_SUITE_P(Codes, PhaseFailureTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace vu::test
