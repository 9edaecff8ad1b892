#include "platform/Platform.h"
#include "tests/testsupport/VirtualSystem.h"

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

TEST(SystemServices, HostNamesBecomeTheRequestFieldsForm)
{
    struct Case { const char* host; const wchar_t* name; };
    const Case cases[] = {
        {"bench", L"bench"},
        {"bench.example.org", L"bench"},
        {"workshop-pc-number-7.lan", L"workshop-pc-num"},
        {"", L""},
        {".local", L""},
        {"h\xE9te.lan", L"h\u00E9te"}, // not 0xFFE9: the byte is not widened as a signed char
    };
    for (const Case& c : cases)
        EXPECT_EQ(ComputerNameFromHostName(c.host), c.name) << c.host;
}

TEST(SystemServices, ExecutablePathNamesThisProgram)
{
    std::filesystem::path path = ExecutablePath();
    ASSERT_FALSE(path.empty());
    EXPECT_LT(path.native().size(), 260u);
    EXPECT_NE(path.filename().string().find("platform_tests"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_regular_file(path)) << path;
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
    auto realStart = std::chrono::steady_clock::now();
    uint32_t start = clock.TickCount();
    clock.Sleep(20000);
    uint32_t afterSleep = clock.TickCount();
    EXPECT_GE(afterSleep - start, 20000u);
    EXPECT_LE(afterSleep - start, 20002u);
    // A polling loop reaches a 4000 ms limit by reading the tick alone.
    uint32_t note = clock.TickCount();
    int polls = 0;
    while (clock.TickCount() - note < 4000)
        ++polls;
    EXPECT_GT(polls, 1000);
    EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::seconds(2));
}

TEST(VirtualClock, BeepsAreRecordedAndTakeTheirTime)
{
    VirtualSystem clock;
    uint64_t before = clock.NowUs();
    clock.Beep(600, 200);
    clock.Sleep(200);
    clock.Beep(600, 200);
    auto beeps = clock.Beeps();
    ASSERT_EQ(beeps.size(), 2u);
    EXPECT_EQ(beeps[0].hz, 600u);
    EXPECT_EQ(beeps[1].atUs - beeps[0].atUs, 400'000u);
    EXPECT_EQ(clock.NowUs() - before, 600'000u);
}

TEST(VirtualClock, TickCountWrapsAsA32BitCounter)
{
    VirtualSystem clock((uint64_t(UINT32_MAX) - 5) * 1000, 1000);
    uint32_t note = clock.TickCount();
    clock.Sleep(100);
    EXPECT_LT(clock.TickCount(), note);          // wrapped
    EXPECT_GE(uint32_t(clock.TickCount() - note), 100u); // the unsigned difference still holds
}

TEST(SystemServices, AnsiTextAbove127KeepsEveryByte)
{
    // A0 to FF mean the same in ISO 8859-1 and in Windows-1252; 80 to 9F do
    // not, but still each give one character. A zero byte inside is kept.
    const uint8_t bytes[] = {'V', 0xE9, 0xFF, 0xA0, 0x80, 0x9F, 0x00, 'x'};
    std::wstring text = AnsiToWide(bytes, sizeof bytes);
    ASSERT_EQ(text.size(), sizeof bytes);
    EXPECT_EQ(text[0], L'V');
    EXPECT_EQ(unsigned(text[1]), 0xE9u);
    EXPECT_EQ(unsigned(text[2]), 0xFFu);
    EXPECT_EQ(unsigned(text[3]), 0xA0u);
    EXPECT_GE(unsigned(text[4]), 0x80u) << "a byte above 127 is never read as a signed char";
    EXPECT_GE(unsigned(text[5]), 0x80u);
    EXPECT_EQ(text[6], L'\0');
    EXPECT_EQ(text[7], L'x');
}
