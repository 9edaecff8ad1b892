// The Windows driver loader: no library, an incomplete library, and a
// library whose functions see exactly the arguments the link means.
#include "device/MachineLink.h"
#include "device/win32/Ftd2xxDriver.h"
#include "tests/testsupport/ScriptedDriver.h"
#include "tests/testsupport/TestSupport.h"
#include "tests/testsupport/VirtualSystem.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace vu::test {
namespace {

class LoaderTest : public ::testing::Test {
protected:
    VirtualSystem clock;
    LogCapture log;
};

TEST_F(LoaderTest, WithoutALibraryOpenGivesNotOpenAfterFourSeconds)
{
    ASSERT_EQ(GetModuleHandleW(L"FTD2XX.dll"), nullptr);
    std::unique_ptr<IFtdiDriver> driver = CreatePlatformDriver();
    CMachineLink link(*driver, clock);
    uint32_t start = clock.NowMs();
    EXPECT_EQ(link.Open(), LINK_E_NOT_OPEN);
    EXPECT_GE(clock.NowMs() - start, 4000u);
    EXPECT_EQ(link.EnterBios(), LINK_E_NOT_OPEN);
    link.Close();
    // Every call on the driver fails quietly.
    uint32_t n = 7;
    EXPECT_NE(driver->ListDevicesCount(&n), FT_OK);
    EXPECT_EQ(n, 0u);
    uint8_t buffer[8] = {};
    EXPECT_NE(driver->Write(nullptr, buffer, 8, &n), FT_OK);
    EXPECT_NE(driver->Read(nullptr, buffer, 8, &n), FT_OK);
    EXPECT_NE(driver->SetBitMode(nullptr, 0xF1, 0x20), FT_OK);
    EXPECT_NE(driver->Close(nullptr), FT_OK);
}

TEST_F(LoaderTest, ALibraryMissingFunctionsIsNotUsed)
{
    std::unique_ptr<IFtdiDriver> driver = CreateFtd2xxDriver(L"vu_partial_ftd2xx.dll");
    CMachineLink link(*driver, clock);
    EXPECT_EQ(link.Open(), LINK_E_NOT_OPEN);
    EXPECT_EQ(GetModuleHandleW(L"vu_partial_ftd2xx.dll"), nullptr) << "unloaded again";
}

TEST_F(LoaderTest, TheLibrarySeesTheLinksArguments)
{
    std::unique_ptr<IFtdiDriver> driver = CreateFtd2xxDriver(L"vu_fake_ftd2xx.dll");
    HMODULE fake = GetModuleHandleW(L"vu_fake_ftd2xx.dll");
    ASSERT_NE(fake, nullptr);
    using CallsFn = const char*(WINAPI*)();
    auto calls = reinterpret_cast<CallsFn>(reinterpret_cast<void*>(GetProcAddress(fake, "FakeCalls")));
    ASSERT_NE(calls, nullptr);

    CMachineLink link(*driver, clock);
    ASSERT_EQ(link.Open(), LINK_OK);
    EXPECT_EQ(link.EnterBios(), LINK_OK);
    uint8_t id[8] = {};
    EXPECT_EQ(link.GetDeviceId(id), LINK_OK);
    EXPECT_EQ(HexText(id, 8), "01 02 03 04 05 06 07 08");
    std::vector<std::string> listed;
    EXPECT_EQ(driver->ListDescriptions(&listed), FT_OK);
    EXPECT_EQ(listed, std::vector<std::string>{"Vantorelle"});
    link.Close();
    EXPECT_EQ(std::string(calls()),
              "ListDevices 80000000|OpenEx Pexilant 2|OpenEx MOX 2|OpenEx DRAXO 2|OpenEx ZK4407 2|"
              "OpenEx Vantorelle 2|SetDataCharacteristics 8 0 0|SetBaudRate 115200|"
              "ResetDevice|SetBitMode F1 20|SetBitMode F5 20|SetBreakOn|SetBitMode F1 20|SetBreakOff|Purge 1|"
              "SetBaudRate 115200|SetBaudRate 115200|"
              "Write 06 00 01 00 D1 D6|Read 15|"
              "ListDevices 80000000|ListDevices 20000002|Close|");
}

} // namespace
} // namespace vu::test
