#include "log/Format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstddef>

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

// What each conversion makes of its argument, as C's printf would, and the
// edges where a hand-written printf goes wrong: argument sizes, widths and
// precisions from the arguments, cut text, and a format that ends too soon.
TEST(Format, ConversionsAndTheirEdges)
{
    struct Case {
        const char* name;
        std::wstring got;
        std::wstring want;
    };
    const Case cases[] = {
        {"lld smallest", Format(L"%lld", LLONG_MIN), L"-9223372036854775808"},
        {"llu largest", Format(L"%llu", ULLONG_MAX), L"18446744073709551615"},
        {"lld then int", Format(L"%lld|%d", 1LL << 40, -2), L"1099511627776|-2"},
        {"zu", Format(L"%zu", size_t(4000000000u)), L"4000000000"},
        {"zu then int", Format(L"%zu|%d", size_t(7), -1), L"7|-1"},
        {"zd negative", Format(L"%zd", ptrdiff_t(-3)), L"-3"},
        {"star width", Format(L"[%*d]", 5, 42), L"[   42]"},
        {"star width negative", Format(L"[%*d]", -5, 42), L"[42   ]"},
        {"star width negative text", Format(L"[%*s]", -4, L"ab"), L"[ab  ]"},
        {"star precision", Format(L"[%.*d]", 3, 7), L"[007]"},
        {"star precision negative", Format(L"[%.*d]", -1, 7), L"[7]"},
        {"precision cuts text", Format(L"%.3s", L"abcdef"), L"abc"},
        {"precision cuts narrow text", Format(L"%.3S", "abcdef"), L"abc"},
        {"precision longer than text", Format(L"%.3s", L"ab"), L"ab"},
        {"width and precision", Format(L"[%5.2s]", L"abc"), L"[   ab]"},
        {"null text", Format(L"%s", static_cast<const wchar_t*>(nullptr)), L"(null)"},
        {"c", Format(L"%c%c", L'O', L'K'), L"OK"},
        {"c left", Format(L"[%-3c]", L'x'), L"[x  ]"},
        {"c above 127", Format(L"%c", wchar_t(0xE9)), std::wstring(1, wchar_t(0xE9))},
        {"c of a char above 127", Format(L"%c", char(0xE9)), std::wstring(1, wchar_t(0xE9))},
        {"hh", Format(L"%02hhX", 0x1FF), L"FF"},
        {"h", Format(L"%hd", 70000), L"4464"},
        {"o then text", Format(L"%o|%s", 8u, L"next"), L"10|next"},
        {"e", Format(L"%.2e", 12345.0), L"1.23e+04"},
        {"Lf", Format(L"%.1Lf", 2.5L), L"2.5"},
        {"wide field", Format(L"%600d", 1), std::wstring(599, L' ') + L"1"},
        {"percent with width", Format(L"%5%"), L"%"},
        {"trailing percent", Format(L"100%"), L"100%"},
        {"trailing cut conversion", Format(L"50%-5"), L"50%-5"},
        {"unknown conversion", Format(L"%q|%d", 4), L"%q|4"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.got, c.want) << c.name;
}
