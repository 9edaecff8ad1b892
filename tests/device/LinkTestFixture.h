// A link over the scripted driver on a virtual clock that records pauses.
#pragma once

#include "device/MachineLink.h"
#include "tests/testsupport/ScriptedDriver.h"
#include "tests/testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace vu::test {

class LinkTest : public ::testing::Test {
protected:
    LinkTest() : driver(clock) { clock.RecordInto(driver); }

    // Opens a link at baud and forgets the calls the open made.
    std::unique_ptr<CMachineLink> OpenLink(uint32_t baud = LINK_STANDARD_BAUD)
    {
        auto link = std::make_unique<CMachineLink>(driver, clock, baud);
        EXPECT_EQ(link->Open(), LINK_OK);
        driver.ClearCalls();
        log.Clear();
        return link;
    }

    uint32_t ElapsedMs(uint32_t since) const { return clock.NowMs() - since; }

    RecordingSystem clock;
    ScriptedDriver driver;
    LogCapture log;
};

inline std::vector<uint8_t> Bytes(const uint8_t* p, size_t n) { return std::vector<uint8_t>(p, p + n); }

} // namespace vu::test
