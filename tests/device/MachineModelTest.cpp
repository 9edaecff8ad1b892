// The link against the in-process machine model: the tool's real sequences
// pass, and tools that get a check byte, the card flag, a sector number or
// the speed switch wrong fail. Scripted machine faults end in failures, never
// in false successes or hangs.
#include "device/MachineLink.h"
#include "sim/machine/ModelDriver.h"
#include "tests/testsupport/ScriptedDriver.h"
#include "tests/testsupport/TestSupport.h"
#include "tests/testsupport/VirtualSystem.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>

namespace vu::test {
namespace {

using sim::MachineFault;
using sim::MachineModel;
using sim::MachineState;
using Kind = MachineFault::Kind;

class ModelTest : public ::testing::Test {
protected:
    ModelTest() : driver(clock) {}

    // A link opened and put into the boot loader, as every phase begins.
    std::unique_ptr<CMachineLink> Session(uint32_t baud = LINK_STANDARD_BAUD)
    {
        auto link = std::make_unique<CMachineLink>(driver, clock, baud);
        EXPECT_EQ(link->Open(), LINK_OK);
        EXPECT_EQ(link->EnterBios(), LINK_OK);
        return link;
    }

    std::string ItemText(CMachineLink& link, uint8_t item, int* result)
    {
        uint8_t text[255] = {};
        *result = link.ReadInfoItem(item, text);
        return std::string(reinterpret_cast<char*>(text));
    }

    uint32_t ElapsedMs(uint32_t since) const { return clock.NowMs() - since; }

    VirtualSystem clock;
    sim::ModelDriver driver;
    LogCapture log;
};

TEST_F(ModelTest, HealthyMachinePassesTheProbeAndRestartsNormally)
{
    MachineModel& m = driver.Attach("Vantorelle");
    auto link = Session();
    EXPECT_EQ(m.CurrentMode(), MachineModel::Mode::BootLoader);
    uint8_t id[8] = {};
    EXPECT_EQ(link->GetDeviceId(id), 0);
    EXPECT_EQ(0, std::memcmp(id, m.State().identity.data(), 8));
    uint8_t info[54] = {};
    EXPECT_EQ(link->GetDeviceInfo(info), 0);
    EXPECT_EQ(HexText(info, 6), "3B 00 32 00 BE 00");
    int st = -1;
    EXPECT_EQ(ItemText(*link, 1, &st), "V2.13");
    EXPECT_EQ(st, 0);
    EXPECT_EQ(ItemText(*link, 6, &st), "A0103");
    EXPECT_EQ(st, 0);
    EXPECT_EQ(link->ResetMachine(), 0);
    link->Close();
    EXPECT_EQ(m.CurrentMode(), MachineModel::Mode::Normal);
    EXPECT_TRUE(m.Rejections().empty()) << m.Rejections().front();
}

TEST_F(ModelTest, BrokenMachineFailsOnItemSixUntilItIsWrittenBack)
{
    MachineModel& m = driver.Attach("Vantorelle", MachineState::Broken());
    auto link = Session();
    int st = -1;
    ItemText(*link, 6, &st);
    EXPECT_EQ(st, LINK_E_PROTOCOL) << "A1 05 is two bytes only";
    // A playback frame, written as it stands, restores the item.
    std::vector<uint8_t> playback = MakeFrame(Hex("A0 06 02 41 30 31 30 33"));
    uint32_t written = 0;
    EXPECT_EQ(link->WriteRaw(playback.data(), uint32_t(playback.size()), &written), 0);
    uint8_t reply[1000] = {};
    uint32_t length = 0;
    EXPECT_EQ(link->ReceiveFrame(reply, &length, sizeof reply), 0);
    EXPECT_EQ(HexText(reply, length), "A0 00");
    EXPECT_EQ(ItemText(*link, 6, &st), "A0103");
    EXPECT_EQ(st, 0);
    ASSERT_NE(m.Item(6), nullptr);
}

TEST_F(ModelTest, FirmwareAtHighSpeedLandsInTheStore)
{
    MachineModel& m = driver.Attach("Vantorelle");
    auto link = Session(LINK_HIGH_BAUD);
    EXPECT_EQ(m.MachineBaud(), LINK_HIGH_BAUD);
    std::vector<uint8_t> image(2500);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = uint8_t(i * 13);
    EXPECT_EQ(link->BeginFirmwareWrite(), 0);
    EXPECT_EQ(link->PrepareFirmwareWrite(), 0);
    for (size_t at = 0; at < image.size(); at += 1024) {
        int n = int(std::min<size_t>(1024, image.size() - at));
        EXPECT_EQ(link->WriteFirmwareChunk(image.data() + at, n), 0);
    }
    EXPECT_EQ(link->EndFirmwareWrite(), 0);
    const uint8_t item6[5] = {'B', '0', '2', '0', '1'};
    EXPECT_EQ(link->WriteInfoItem(item6), 0);
    link->ResetMachine();
    link->Close();
    EXPECT_EQ(m.Firmware(), image);
    EXPECT_EQ(*m.Item(6), std::vector<uint8_t>(item6, item6 + 5));
    EXPECT_EQ(m.MachineBaud(), LINK_STANDARD_BAUD) << "every restart comes back at 115200";
}

TEST_F(ModelTest, DataImageLandsSectorBySector)
{
    MachineModel& m = driver.Attach("Vantorelle");
    auto link = Session(LINK_HIGH_BAUD);
    std::vector<uint8_t> image(3 * 1024 + 300);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = uint8_t(i ^ (i >> 8));
    EXPECT_EQ(link->BeginDataWrite(), 0);
    for (size_t at = 0; at < image.size(); at += 1024) {
        int n = int(std::min<size_t>(1024, image.size() - at));
        EXPECT_EQ(link->WriteDataSectors(int(at), image.data() + at, n), 0);
    }
    EXPECT_EQ(link->EndDataWrite(), 0);
    EXPECT_EQ(m.Image(0, image.size()), image);
    EXPECT_EQ(m.CountOf(0xD8), 4u);
}

TEST_F(ModelTest, CardFlaggedFramesReachTheCardReader)
{
    MachineModel& m = driver.Attach("Vantorelle");
    auto link = Session();
    const uint8_t powerOn[] = {0xB0, 0, 0, 0, 0, 3, 0, 0, 0};
    EXPECT_EQ(link->SendCardFrame(powerOn, sizeof powerOn), 0);
    uint8_t reply[255] = {};
    uint32_t length = 0;
    EXPECT_EQ(link->ReceiveCardFrame(reply, &length, sizeof reply), 0);
    EXPECT_GE(length, 2u);
    EXPECT_EQ(reply[0], 0xB0);
    EXPECT_EQ(m.CountOf(0xB0), 1u);
}

// A faulty tool is the correct step with one thing changed; each must fail
// where the correct one passes, and the machine says why.
TEST_F(ModelTest, MachineRefusesWhatAFaultyToolSends)
{
    struct Case {
        const char* name;
        std::function<bool(CMachineLink&)> tool; // true: the tool believes it succeeded
        const char* rejection;                   // start of the machine's reason, or "" for none
        bool correct;
    };
    auto sendRaw = [](CMachineLink& l, std::vector<uint8_t> frame) {
        uint32_t w = 0;
        l.WriteRaw(frame.data(), uint32_t(frame.size()), &w);
        uint8_t reply[LINK_BUFFER_SIZE];
        uint32_t n = 0;
        return l.ReceiveFrame(reply, &n) == 0 && n >= 2 && reply[1] == 0;
    };
    std::vector<uint8_t> sector(512, 0x5A);
    const Case cases[] = {
        {"correct identity query", [](CMachineLink& l) { uint8_t id[8]; return l.GetDeviceId(id) == 0; }, "", true},
        {"wrong check byte",
         [&](CMachineLink& l) { return sendRaw(l, Hex("06 00 01 00 D1 D7")); }, "check byte", false},
        {"payload length off by one",
         [&](CMachineLink& l) { return sendRaw(l, Hex("06 00 02 00 D1 D5")); }, "payload length", false},
        {"frame length zero", [&](CMachineLink& l) { return sendRaw(l, Hex("00 00 01 00 D1 D0")); }, "frame length",
         false},
        {"correct card command",
         [](CMachineLink& l) {
             const uint8_t b3[] = {0xB3, 0, 0, 0, 0, 0xFF, 0, 0, 0};
             uint8_t r[255];
             uint32_t n = 0;
             return l.SendCardFrame(b3, 9) == 0 && l.ReceiveCardFrame(r, &n, sizeof r) == 0;
         },
         "", true},
        {"card command without the flag",
         [](CMachineLink& l) {
             const uint8_t b3[] = {0xB3, 0, 0, 0, 0, 0xFF, 0, 0, 0};
             uint8_t r[LINK_BUFFER_SIZE];
             uint32_t n = 0;
             return l.SendFrame(b3, 9) == 0 && l.ReceiveFrame(r, &n) == 0;
         },
         "card command without the card flag", false},
        {"flag check byte left unfolded",
         [&](CMachineLink& l) {
             std::vector<uint8_t> f = MakeFrame(Hex("B3 00 00 00 00 FF 00 00 00"));
             f[1] |= 0x80; // flagged, but the check byte still that of the plain frame
             return sendRaw(l, f);
         },
         "check byte", false},
        {"sector count one short",
         [&](CMachineLink& l) {
             std::vector<uint8_t> p = Join({Hex("D8 00 00 00 00 00 00 00 00"), sector});
             l.BeginDataWrite();
             return sendRaw(l, MakeFrame(p));
         },
         "", false},
        {"byte address sent as the sector number",
         [&](CMachineLink& l) {
             // The image's second 1 MiB piece starts at byte 1048576; as a sector number it lies far
             // beyond the machine's storage.
             std::vector<uint8_t> p = Join({Hex("D8 00 00 10 00 01 00 00 00"), sector});
             l.BeginDataWrite();
             return sendRaw(l, MakeFrame(p));
         },
         "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MachineModel& m = driver.Attach("Vantorelle");
        auto link = Session();
        EXPECT_EQ(c.tool(*link), c.correct);
        if (*c.rejection) {
            ASSERT_FALSE(m.Rejections().empty());
            EXPECT_EQ(m.Rejections().back().rfind(c.rejection, 0), 0u) << m.Rejections().back();
        }
        link->ResetMachine();
        link->Close();
        driver.Unplug(driver.DeviceCount() - 1);
    }
}

TEST_F(ModelTest, SpeedMustBeSwitchedOnBothSides)
{
    struct Case {
        const char* name;
        std::function<void(CMachineLink&)> switchSpeed;
        bool answered;
    };
    const Case cases[] = {
        {"both switched", [](CMachineLink& l) { l.SetBaudRate(LINK_HIGH_BAUD); }, true},
        {"driver only", [](CMachineLink& l) { l.Driver().SetBaudRate(l.m_hDevice, LINK_HIGH_BAUD); }, false},
        {"machine only",
         [](CMachineLink& l) {
             const uint8_t ae[] = {0xAE, 0x80, 0x84, 0x1E, 0x00};
             uint8_t r[LINK_BUFFER_SIZE];
             uint32_t n = 0;
             l.SendFrame(ae, 5);
             l.ReceiveFrame(r, &n);
         },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MachineModel& m = driver.Attach("Vantorelle");
        auto link = Session();
        c.switchSpeed(*link);
        uint8_t id[8];
        EXPECT_EQ(link->GetDeviceId(id) == 0, c.answered);
        EXPECT_EQ(m.GarbledBytes() > 0, !c.answered);
        link->ResetMachine();
        link->Close();
        driver.Unplug(driver.DeviceCount() - 1);
    }
}

TEST_F(ModelTest, OnlyTheBiosPinSequenceStartsTheBootLoader)
{
    MachineModel& m = driver.Attach("Vantorelle");
    CMachineLink link(driver, clock);
    ASSERT_EQ(link.Open(), 0);
    uint8_t id[8];
    EXPECT_EQ(link.GetDeviceId(id), LINK_E_PROTOCOL) << "the normal firmware does not answer";
    EXPECT_EQ(link.ResetMachine(), 0);
    EXPECT_EQ(m.CurrentMode(), MachineModel::Mode::Normal);
    EXPECT_EQ(link.GetDeviceId(id), LINK_E_PROTOCOL);
    // Break raised only after CBUS2 fell: a normal restart.
    IFtdiDriver& d = driver;
    d.SetBitMode(link.m_hDevice, 0xF1, 0x20);
    d.SetBitMode(link.m_hDevice, 0xF5, 0x20);
    d.SetBitMode(link.m_hDevice, 0xF1, 0x20);
    d.SetBreakOn(link.m_hDevice);
    d.SetBreakOff(link.m_hDevice);
    EXPECT_EQ(m.CurrentMode(), MachineModel::Mode::Normal);
    EXPECT_EQ(link.EnterBios(), 0);
    EXPECT_EQ(m.CurrentMode(), MachineModel::Mode::BootLoader);
    EXPECT_EQ(link.GetDeviceId(id), 0);
    link.Close();
}

TEST_F(ModelTest, ScriptedFaultsEndInFailureOrRecoverWithinTheLimits)
{
    struct Case {
        const char* name;
        MachineFault fault;
        int result;       // of the first WriteFirmwareChunk
        uint32_t maxMs;   // it may take at most
        bool chunkStored; // the chunk was appended
    };
    auto fault = [](Kind k, uint32_t delayMs = 0, int times = 1) {
        MachineFault f;
        f.kind = k;
        f.delayMs = delayMs;
        f.times = times;
        return f;
    };
    const Case cases[] = {
        {"refused", fault(Kind::Refuse), LINK_E_PROTOCOL, 100, false},
        {"late, within the quiet limit", fault(Kind::Delay, 15000), 0, 16600, true},
        {"too late", fault(Kind::Delay, 30000), LINK_E_PROTOCOL, 22100, true},
        {"trickled", fault(Kind::Trickle, 3000), 0, 3 * 7 * 1000 + 1000, true},
        {"split", fault(Kind::Split, 500), 0, 1000, true},
        {"garbage", fault(Kind::Garbage), LINK_E_PROTOCOL, 22100, true},
        {"silent", fault(Kind::Silent), LINK_E_PROTOCOL, 22100, false},
        {"merged with the next", fault(Kind::MergeWithNext), LINK_E_PROTOCOL, 22100, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MachineModel& m = driver.Attach("Vantorelle");
        auto link = Session();
        ASSERT_EQ(link->BeginFirmwareWrite(), 0);
        ASSERT_EQ(link->PrepareFirmwareWrite(), 0);
        m.AddFault(0xA4, c.fault);
        const uint8_t chunk[3] = {1, 2, 3};
        uint32_t start = clock.NowMs();
        EXPECT_EQ(link->WriteFirmwareChunk(chunk, 3), c.result);
        EXPECT_LE(ElapsedMs(start), c.maxMs);
        // The next command meets a clean line unless the fault glued answers together.
        const uint8_t next[3] = {4, 5, 6};
        int again = link->WriteFirmwareChunk(next, 3);
        if (c.fault.kind == Kind::MergeWithNext) {
            EXPECT_EQ(again, LINK_E_PROTOCOL) << "two frames in one reply are not a reply";
        } else if (c.fault.kind != Kind::Delay || c.result == 0) {
            EXPECT_EQ(again, 0);
        }
        link->EndFirmwareWrite();
        std::vector<uint8_t> expected = c.chunkStored ? std::vector<uint8_t>{1, 2, 3, 4, 5, 6}
                                                      : std::vector<uint8_t>{4, 5, 6};
        // A reply later than the limit is taken for the next request's: no claim on the store.
        if (c.fault.kind != Kind::Delay || c.result == 0) {
            EXPECT_EQ(m.Firmware(), expected);
        }
        link->ResetMachine();
        link->Close();
        driver.Unplug(driver.DeviceCount() - 1);
    }
}

TEST_F(ModelTest, RefusalsCountDownAndAfterSkipsRequests)
{
    MachineModel& m = driver.Attach("Vantorelle");
    auto link = Session();
    MachineFault refuse;
    refuse.kind = Kind::Refuse;
    refuse.times = 2;
    refuse.after = 1;
    m.AddFault(0xD8, refuse);
    uint8_t data[512] = {};
    ASSERT_EQ(link->BeginDataWrite(), 0);
    std::vector<int> results;
    for (int i = 0; i < 4; ++i)
        results.push_back(link->WriteDataSectors(0, data, 512));
    EXPECT_EQ(results, (std::vector<int>{0, 7, 7, 0}));
    EXPECT_EQ(m.CountOf(0xD8), 4u);
}

TEST_F(ModelTest, VanishingMachineFailsEveryCallAndCannotBeReopened)
{
    MachineModel& m = driver.Attach("Vantorelle");
    auto link = Session();
    MachineFault vanish;
    vanish.kind = Kind::Vanish;
    m.AddFault(0xA1, vanish);
    int st = -1;
    uint32_t start = clock.NowMs();
    ItemText(*link, 1, &st);
    EXPECT_EQ(st, LINK_E_PROTOCOL);
    EXPECT_LT(ElapsedMs(start), 22100u);
    uint32_t written = 0;
    const uint8_t b = 0;
    EXPECT_EQ(link->WriteRaw(&b, 1, &written), int(FT_IO_ERROR));
    EXPECT_EQ(link->ResetMachine(), 0);
    link->Close();
    EXPECT_FALSE(driver.IsOpen());

    CMachineLink again(driver, clock);
    EXPECT_EQ(again.Open(), LINK_E_NOT_OPEN);
    driver.Replug();
    EXPECT_EQ(again.Open(), LINK_OK);
    again.Close();
}

TEST_F(ModelTest, OpenPicksTheFirstDescriptionInTheToolsOrder)
{
    MachineModel& vantorelle = driver.Attach("Vantorelle");
    MachineModel& mox = driver.Attach("MOX");
    auto link = Session();
    uint8_t id[8];
    EXPECT_EQ(link->GetDeviceId(id), 0);
    EXPECT_EQ(mox.CountOf(0xD1), 1u);
    EXPECT_EQ(vantorelle.CountOf(0xD1), 0u);
    EXPECT_EQ(vantorelle.CurrentMode(), MachineModel::Mode::Normal);
    link->Close();
}

TEST_F(ModelTest, NoMachineMeansNotOpenAfterFourSecondsOfVirtualTime)
{
    CMachineLink link(driver, clock);
    uint32_t start = clock.NowMs();
    EXPECT_EQ(link.Open(), LINK_E_NOT_OPEN);
    EXPECT_GE(ElapsedMs(start), 4000u);
    EXPECT_LT(ElapsedMs(start), 4100u);
}

} // namespace
} // namespace vu::test
