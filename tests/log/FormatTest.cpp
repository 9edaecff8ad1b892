#include "log/Format.h"

#include <gtest/gtest.h>

using vu::Format;

TEST(Format, FillsTheSystemsTexts)
{
    EXPECT_EQ(Format(L"Update success. (%d m %d s) ", 4, 5), L"Update success. (4 m 5 s) ");
    EXPECT_EQ(Format(L"Updating, elapsed time: %d m %d s", 75, 0), L"Updating, elapsed time: 75 m 0 s");
    EXPECT_EQ(Format(L"Device not found.(%d)", 1), L"Device not found.(1)");
    EXPECT_EQ(Format(L"Function failed with error: %ld", 10060L), L"Function failed with error: 10060");
    EXPECT_EQ(Format(L"TAVRIN Automatic Key Cutting Machine V%s start", L"1.4.1"),
              L"TAVRIN Automatic Key Cutting Machine V1.4.1 start");
    EXPECT_EQ(Format(L"R(%d):%s", 0, L"07 41 00"), L"R(0):07 41 00");
}

TEST(Format, NumbersAndPadding)
{
    EXPECT_EQ(Format(L"%02X", 0x0A), L"0A");
    EXPECT_EQ(Format(L"%02X%02X", 0xFF, 0), L"FF00");
    EXPECT_EQ(Format(L"%d", -7), L"-7");
    EXPECT_EQ(Format(L"%u", 4000000000u), L"4000000000");
    EXPECT_EQ(Format(L"%f", 0.015213), L"0.015213");
    EXPECT_EQ(Format(L"%5s|%-4s|", L"ab", L"c"), L"   ab|c   |");
    EXPECT_EQ(Format(L"%S and %s", "narrow", L"wide"), L"narrow and wide");
    EXPECT_EQ(Format(L"100%%"), L"100%");
}
