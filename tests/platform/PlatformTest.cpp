#include "platform/Platform.h"
#include "platform/VirtualSystem.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

using namespace vu;

TEST(SystemServices, ComputerNameFitsTheRequestField)
{
    std::wstring name = ComputerName();
    EXPECT_FALSE(name.empty());
    EXPECT_LE(name.size(), 15u);
    EXPECT_EQ(name.find(L'.'), std::wstring::npos);
}

TEST(SystemServices, ExecutablePathNamesThisProgram)
{
    std::wstring path = ExecutablePath();
    ASSERT_FALSE(path.empty());
    EXPECT_LT(path.size(), 260u);
    EXPECT_NE(path.find(L"platform_tests"), std::wstring::npos);
    EXPECT_NE(path.rfind(PathSeparator()), std::wstring::npos);
}

TEST(SystemServices, RandomBytesDifferBetweenCalls)
{
    uint8_t a[8], b[8];
    RandomBytes8(a);
    RandomBytes8(b);
    EXPECT_NE(std::memcmp(a, b, 8), 0);
}

TEST(SystemServices, AnsiTextKeepsAsciiAndLength)
{
    const uint8_t bytes[] = {'V', '2', '.', '2', '.', '9'};
    EXPECT_EQ(AnsiToWide(bytes, sizeof bytes), L"V2.2.9");
    EXPECT_EQ(AnsiToWide(bytes, 0), L"");
}

TEST(SystemServices, RealTickCountMovesWithSleep)
{
    // Coarse: some tick counters step in 15.6 ms units.
    uint32_t start = RealSystem().TickCount();
    RealSystem().Sleep(100);
    uint32_t elapsed = RealSystem().TickCount() - start;
    EXPECT_GE(elapsed, 60u);
    EXPECT_LT(elapsed, 5000u);
}

TEST(VirtualClock, SleepAndTickReadsAdvanceTimeWithoutWaiting)
{
    VirtualSystem clock;
    ScopedVirtualSystem scope(clock);
    auto realStart = std::chrono::steady_clock::now();
    uint32_t start = TickCount();
    SleepMs(20000);
    uint32_t afterSleep = TickCount();
    EXPECT_GE(afterSleep - start, 20000u);
    EXPECT_LE(afterSleep - start, 20002u);
    // A polling loop reaches a 4000 ms limit by reading the tick alone.
    uint32_t note = TickCount();
    int polls = 0;
    while (TickCount() - note < 4000)
        ++polls;
    EXPECT_GT(polls, 1000);
    EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::seconds(2));
}

TEST(VirtualClock, BeepsAreRecordedAndTakeTheirTime)
{
    VirtualSystem clock;
    ScopedVirtualSystem scope(clock);
    uint64_t before = clock.NowUs();
    SystemBeep(600, 200);
    SleepMs(200);
    SystemBeep(600, 200);
    auto beeps = clock.Beeps();
    ASSERT_EQ(beeps.size(), 2u);
    EXPECT_EQ(beeps[0].hz, 600u);
    EXPECT_EQ(beeps[1].atUs - beeps[0].atUs, 400'000u);
    EXPECT_EQ(clock.NowUs() - before, 600'000u);
}

TEST(VirtualClock, TickCountWrapsAsA32BitCounter)
{
    VirtualSystem clock((uint64_t(UINT32_MAX) - 5) * 1000, 1000);
    ScopedVirtualSystem scope(clock);
    uint32_t note = TickCount();
    SleepMs(100);
    EXPECT_LT(TickCount(), note);          // wrapped
    EXPECT_GE(uint32_t(TickCount() - note), 100u); // the unsigned difference still holds
}
