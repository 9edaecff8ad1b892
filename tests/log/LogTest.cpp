#include "log/Log.h"
#include "platform/Platform.h"
#include "tests/testsupport/TestSupport.h"
#include "tests/testsupport/VirtualSystem.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

using namespace vu;
using vu::test::ReadFileText;
using vu::test::TempDir;

namespace {

// A log on a virtual clock, written to a private file.
class LogFile : public ::testing::Test {
protected:
    void SetUp() override { SetLogFileOverride(dir / "log.bin"); }
    void TearDown() override { SetLogFileOverride({}); }

    // The lines go through this log, not the process's.
    void WriteLog(std::wstring text) { log.Write(std::move(text)); }
    std::wstring LogTimestamp() { return log.Timestamp(); }
    void ResetLogIntervalForTesting() { log.ForgetPreviousCall(); }

    std::vector<std::string> StoredLines() const
    {
        std::string all = ReadFileText(dir / "log.bin");
        std::vector<std::string> lines;
        size_t start = 0;
        for (size_t end; (end = all.find("\r\n", start)) != std::string::npos; start = end + 2)
            lines.push_back(all.substr(start, end - start));
        EXPECT_EQ(start, all.size()) << "the file ends in the middle of a line";
        return lines;
    }
    static std::string Interval(const std::string& line) { return line.substr(25, line.find(']') - 25); }

    VirtualSystem clock;
    CLineLog log{clock};
    TempDir dir;
};

TEST_F(LogFile, StoresWholeLineWithTimestampIntervalTextAndCrLf)
{
    WriteLog(L"R_Count:3");
    std::string all = ReadFileText(dir / "log.bin");
    std::regex line(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:\d{3}\|    -   \]R_Count:3\r\n)");
    EXPECT_TRUE(std::regex_match(all, line)) << all;
    EXPECT_EQ(all.substr(1, 11), "2026-12-11 ");
}

TEST_F(LogFile, TimestampHasColonBeforeMilliseconds)
{
    clock.Advance((3600ull * 9 + 60 * 7 + 2) * 1'000'000 + 45'000 - clock.NowUs() % 86'400'000'000ull);
    EXPECT_EQ(LogTimestamp(), L"2026-12-11 09:07:02:045");
}

TEST_F(LogFile, IntervalColumnFollowsTheCounter)
{
    WriteLog(L"first");
    clock.Advance(500'000);
    WriteLog(L"half a second");
    clock.Advance(12'000'000);
    WriteLog(L"twelve seconds");
    clock.Advance(10'000'000);
    WriteLog(L"exactly ten");
    clock.Advance(10'000'001);
    WriteLog(L"just over ten");

    auto lines = StoredLines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(Interval(lines[0]), "    -   ");
    EXPECT_EQ(Interval(lines[1]), "0.500000");
    EXPECT_EQ(Interval(lines[2]), "   --   ");
    EXPECT_EQ(Interval(lines[3]), "10.000000");
    EXPECT_EQ(Interval(lines[4]), "   --   ");
    EXPECT_EQ(lines[3].substr(lines[3].find(']')), "]exactly ten");
}

TEST_F(LogFile, EmptyTextStillMakesAFullLine)
{
    WriteLog(L"");
    auto lines = StoredLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), 1u + 23 + 1 + 8 + 1);
    EXPECT_EQ(lines[0].back(), ']');
}

TEST_F(LogFile, AppendsAcrossCallsAndRunsAndCreatesAMissingFile)
{
    EXPECT_FALSE(std::filesystem::exists(dir / "log.bin"));
    WriteLog(L"run 1");
    ResetLogIntervalForTesting(); // a new process: the first line again carries "-"
    WriteLog(L"run 2, line 1");
    WriteLog(L"run 2, line 2");
    auto lines = StoredLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("]run 1"), std::string::npos);
    EXPECT_EQ(Interval(lines[1]), "    -   ");
    EXPECT_NE(lines[2].find("]run 2, line 2"), std::string::npos);
}

TEST_F(LogFile, CharactersAbove255AreStoredAsQuestionMarks)
{
    WriteLog(std::wstring(L"a") + wchar_t(0xE9) + wchar_t(0x4E2D) + L"b");
    auto lines = StoredLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(lines[0].find(']') + 1), std::string("a\xE9?b"));
}

TEST_F(LogFile, UnwritableLocationLosesTheLineButAdvancesTheInterval)
{
    // A folder below a plain file cannot be created, even by root.
    test::WriteFileBytes(dir / "plain-file", {1});
    TempDir state;
    SetEnv("XDG_STATE_HOME", state.Path().string());
    WriteLog(L"first");
    clock.Advance(2'000'000);
    SetLogFileOverride(dir / "plain-file" / "log.bin");
    WriteLog(L"lost");
    clock.Advance(250'000);
    SetLogFileOverride(dir / "log.bin");
    WriteLog(L"next");

    auto lines = StoredLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("]next"), std::string::npos);
    EXPECT_EQ(Interval(lines[1]), "0.250000");
    // Only Linux has a folder to fall back on.
    if (!FallbackLogFolder().empty()) {
        std::string fallback = ReadFileText(state / "vantorelle-update" / "log.bin");
        EXPECT_NE(fallback.find("|2.000000]lost\r\n"), std::string::npos) << fallback;
    }
    SetEnv("XDG_STATE_HOME", "");
}

struct NameCase {
    const char* name;
    std::wstring exePath;
    std::wstring logPath;
};

std::string CaseName(const ::testing::TestParamInfo<NameCase>& info) { return info.param.name; }

class LogFileName : public ::testing::TestWithParam<NameCase> {};

TEST_P(LogFileName, IsFormedBesideTheExecutable)
{
    EXPECT_EQ(LogFileNameFromExePath(GetParam().exePath, '\\').native(),
              std::filesystem::path(GetParam().logPath).native());
}

INSTANTIATE_TEST_SUITE_P(
    Paths, LogFileName,
    ::testing::Values(NameCase{"InAFolder", L"C:\\Tools\\upd.exe", L"C:\\Tools\\log.bin"},
                      NameCase{"AtTheDriveRoot", L"C:\\upd.exe", L"C:\\log.bin"},
                      NameCase{"WithoutASeparator", L"upd.exe", L"log.bin"},
                      // Cut to the 260-character buffer before the separator is searched:
                      // the last separator beyond the cut does not count.
                      NameCase{"LongerThanTheBuffer", L"C:\\" + std::wstring(250, L'a') + L"\\bbbbbbbbbbbbbbb\\upd.exe",
                               L"C:\\" + std::wstring(250, L'a') + L"\\log.bin"}),
    CaseName);

// Executable paths as each system names them, with the log file beside each.
template <class Char>
std::vector<std::pair<std::basic_string<Char>, std::basic_string<Char>>> SystemPathCases();

// Linux: bytes, UTF-8 or not.
template <>
[[maybe_unused]] std::vector<std::pair<std::string, std::string>> SystemPathCases<char>()
{
    std::vector<std::pair<std::string, std::string>> cases;
    for (std::string folder : {"/home/user/T\xC3\xA9l\xC3\xA9" "chargements", // UTF-8
                               "/home/user/T\xE9l\xE9" "chargements",          // ISO 8859-1, not UTF-8
                               "/media/\xFF\xFE\x80\x01 \\"})                // no text at all
        cases.push_back({folder + "/vantorelle-update", folder + "/log.bin"});
    return cases;
}

// Windows: wide characters outside any ANSI code page.
template <>
[[maybe_unused]] std::vector<std::pair<std::wstring, std::wstring>> SystemPathCases<wchar_t>()
{
    std::vector<std::pair<std::wstring, std::wstring>> cases;
    for (std::wstring folder :
         {L"C:\\Users\\\u0417\u0430\u0432\u0430\u043D\u0442\u0430\u0436\u0435\u043D\u043D\u044F \u4E0B\u8F7D",
          L"C:\\\U0001F4E5", // a surrogate pair
          L"\\\\?\\D:\\T\u00E9l\u00E9" L"chargements"})
        cases.push_back({folder + L"\\VantorelleUpdate.exe", folder + L"\\log.bin"});
    return cases;
}

TEST(LogFileNameOfTheSystem, KeepsAFolderNameThatIsNotAscii)
{
    for (const auto& [exe, log] : SystemPathCases<std::filesystem::path::value_type>()) {
        SCOPED_TRACE(::testing::PrintToString(exe));
        EXPECT_EQ(LogFileNameFromExePath(exe).native(), log);
    }
}

TEST(LogText, HexDump)
{
    const uint8_t bytes[] = {0x00, 0xAB, 0x55, 0x0A, 0xFF, 0x07};
    EXPECT_EQ(HexDump(bytes, 0), L"");
    EXPECT_EQ(HexDump(bytes, -3), L"");
    EXPECT_EQ(HexDump(bytes + 5, 1), L"07");
    EXPECT_EQ(HexDump(bytes, 2), L"00 AB");
    EXPECT_EQ(HexDump(bytes + 2, 3), L"55 0A FF");
}

TEST(LogText, IntToText)
{
    EXPECT_EQ(IntToText(0), L"0");
    EXPECT_EQ(IntToText(-1), L"-1");
    EXPECT_EQ(IntToText(10752), L"10752");
    EXPECT_EQ(IntToText(INT32_MIN), L"-2147483648");
}

} // namespace
