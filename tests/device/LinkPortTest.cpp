// The port: opening by description, closing, the traced raw write and the timed read.
#include "tests/device/LinkTestFixture.h"

#include <cstring>

namespace vu::test {
namespace {

using PortTest = LinkTest;

TEST_F(PortTest, OpenWithNothingUsableGivesNotOpenAfterFourSeconds)
{
    struct Case {
        const char* name;
        std::vector<std::string> attached;
        bool countFails;
    };
    const Case cases[] = {
        {"no device", {}, false},
        {"foreign devices only", {"FT232R USB UART", "Vantorelle2"}, false},
        {"count fails", {"Vantorelle"}, true}, // last: its failure stays scripted
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        driver.SetAttached(c.attached);
        if (c.countFails)
            driver.FailCall("ListDevices", FT_IO_ERROR, -1);
        driver.ClearCalls();
        CMachineLink link(driver, clock);
        uint32_t start = clock.NowMs();
        EXPECT_EQ(link.Open(), LINK_E_NOT_OPEN);
        EXPECT_GE(ElapsedMs(start), 4000u);
        EXPECT_LT(ElapsedMs(start), 4100u);
        EXPECT_FALSE(link.m_bOpen);
        EXPECT_GT(driver.CountOf("ListDevices"), 100u) << "attempts are repeated back to back";
        if (c.attached.empty() || c.countFails)
            EXPECT_EQ(driver.CountOf("OpenEx"), 0u);
        else
            EXPECT_EQ(driver.CountOf("OpenEx"), 5 * driver.CountOf("ListDevices"));
        EXPECT_EQ(driver.CountOf("SetBaudRate"), 0u);
        EXPECT_EQ(clock.SleptMs(), 0u) << "the open polls without sleeping";
    }
}

TEST_F(PortTest, OpenTriesDescriptionsInOrderAndSetsTheLineUp)
{
    driver.SetAttached({"Vantorelle", "MOX"});
    CMachineLink link(driver, clock, LINK_HIGH_BAUD);
    EXPECT_EQ(link.Open(), LINK_OK);
    EXPECT_TRUE(link.m_bOpen);
    EXPECT_EQ(link.m_hDevice, ScriptedDriver::HandleFor(1));
    EXPECT_EQ(driver.Calls(), (std::vector<std::string>{"ListDevices", "OpenEx Pexilant", "OpenEx MOX",
                                                        "SetDataCharacteristics 8 0 0", "SetBaudRate 115200"}));
    EXPECT_EQ(driver.BaudRate(), LINK_STANDARD_BAUD) << "a 2000000 link still opens at 115200";
    EXPECT_EQ(link.m_dwBaudRate, LINK_HIGH_BAUD);
}

TEST_F(PortTest, OpenKeepsTryingUntilTheDeviceAppears)
{
    driver.SetAttached({});
    CMachineLink link(driver, clock);
    EXPECT_EQ(link.TryOpen(), LINK_E_NOT_OPEN);
    // The machine comes up while the tool is already trying.
    driver.SetAttached({"DRAXO"});
    driver.FailCall("OpenEx", FT_DEVICE_NOT_FOUND, 30);
    uint32_t start = clock.NowMs();
    EXPECT_EQ(link.Open(), LINK_OK);
    EXPECT_LT(ElapsedMs(start), 100u);
    EXPECT_EQ(link.m_hDevice, ScriptedDriver::HandleFor(0));
}

TEST_F(PortTest, OpenOnAnOpenLinkDoesNotOpenASecondHandle)
{
    auto link = OpenLink();
    EXPECT_EQ(link->TryOpen(), LINK_OK);
    EXPECT_EQ(link->Open(), LINK_OK);
    EXPECT_TRUE(driver.Calls().empty());
}

TEST_F(PortTest, CloseClosesOnceAndOnlyAnOpenLink)
{
    CMachineLink never(driver, clock);
    never.Close();
    EXPECT_TRUE(driver.Calls().empty());

    auto link = OpenLink();
    link->Close();
    link->Close();
    EXPECT_EQ(driver.Calls(), (std::vector<std::string>{"Close"}));
    EXPECT_FALSE(link->m_bOpen);
    EXPECT_FALSE(driver.IsOpen());
}

TEST_F(PortTest, WriteRawLogsEveryWriteAndPassesTheStatusUp)
{
    auto link = OpenLink();
    const uint8_t frame[] = {0x06, 0x00, 0x01, 0x00, 0xD1, 0xD6};
    uint32_t written = 99;
    EXPECT_EQ(link->WriteRaw(frame, 6, &written), 0);
    EXPECT_EQ(written, 6u);
    EXPECT_EQ(link->WriteRaw(frame, 0, &written), 0);
    EXPECT_EQ(written, 0u);
    driver.FailCall("Write", FT_IO_ERROR);
    EXPECT_EQ(link->WriteRaw(frame, 2, &written), int(FT_IO_ERROR));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{L"> :  06 00 01 00 D1 D6", L"> :  ", L"> :  06 00"}));
}

TEST_F(PortTest, ReadRawDeliversTheQueueAndLogsIt)
{
    auto link = OpenLink();
    driver.Queue(Hex("07 00 02 00 A4 00 A1"));
    uint8_t dest[LINK_BUFFER_SIZE] = {};
    uint32_t count = 0;
    EXPECT_EQ(link->ReadRaw(dest, &count, 1000), LINK_OK);
    EXPECT_EQ(HexText(dest, count), "07 00 02 00 A4 00 A1");
    EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{L"< :  07 00 02 00 A4 00 A1"}));
    EXPECT_EQ(driver.Calls(), (std::vector<std::string>{"Read 7"}));
}

TEST_F(PortTest, ReadRawWithNothingTimesOutAndTouchesNothing)
{
    auto link = OpenLink();
    uint8_t dest[LINK_BUFFER_SIZE];
    std::memset(dest, 0x5A, sizeof dest);
    uint32_t count = 0;
    uint32_t start = clock.NowMs();
    EXPECT_EQ(link->ReadRaw(dest, &count, 5500), LINK_E_TIMEOUT);
    EXPECT_GE(ElapsedMs(start), 5500u);
    EXPECT_LT(ElapsedMs(start), 5510u);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(dest[0], 0x5A);
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(clock.SleptMs(), 0u);
}

TEST_F(PortTest, ReadRawDriverErrorIsPassedUpWithoutCopyOrLog)
{
    auto link = OpenLink();
    driver.Queue(Hex("01 02 03"));
    driver.FailCall("Read", FT_IO_ERROR);
    uint8_t dest[LINK_BUFFER_SIZE] = {};
    uint32_t count = 0;
    EXPECT_EQ(link->ReadRaw(dest, &count, 1000), int(FT_IO_ERROR));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(dest[0], 0);
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(PortTest, ReadRawTakesAtMostTheBufferAndLeavesTheRestQueued)
{
    auto link = OpenLink();
    std::vector<uint8_t> flood(6000);
    for (size_t i = 0; i < flood.size(); ++i)
        flood[i] = uint8_t(i);
    driver.Queue(flood);
    std::vector<uint8_t> dest(LINK_BUFFER_SIZE + 64, 0xEE); // guard bytes after the 5000
    uint32_t count = 0;
    EXPECT_EQ(link->ReadRaw(dest.data(), &count, 1000), LINK_OK);
    EXPECT_EQ(count, LINK_BUFFER_SIZE);
    EXPECT_EQ(dest[LINK_BUFFER_SIZE], 0xEE);
    EXPECT_EQ(dest[4999], uint8_t(4999));
    EXPECT_EQ(driver.QueuedBytes(), 1000u);
    EXPECT_EQ(link->ReadRaw(dest.data(), &count, 1000), LINK_OK);
    EXPECT_EQ(count, 1000u);
    EXPECT_EQ(dest[0], uint8_t(5000));
}

TEST_F(PortTest, TracingOffSilencesBothDirections)
{
    auto link = OpenLink();
    link->m_bLogTraffic = false;
    driver.AnswerNextWrite(Hex("AA BB"));
    const uint8_t b[] = {0x01};
    uint32_t n = 0;
    EXPECT_EQ(link->WriteRaw(b, 1, &n), 0);
    uint8_t dest[LINK_BUFFER_SIZE];
    EXPECT_EQ(link->ReadRaw(dest, &n, 1000), LINK_OK);
    EXPECT_EQ(n, 2u);
    EXPECT_TRUE(log.Lines().empty());
}

} // namespace
} // namespace vu::test
