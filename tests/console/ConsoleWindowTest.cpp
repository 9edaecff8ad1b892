// What the console shows of the workers' reports, on a terminal and in a
// pipe, and the Ctrl+C guard's decisions.
#include "engine/ControlIds.h"
#include "ui/console/ConsoleWindow.h"
#include "ui/console/InterruptGuard.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace vu {
namespace {

using Step = std::function<void(CConsoleWindow&)>;

Step Status(const wchar_t* text) { return [text](CConsoleWindow& w) { w.ShowStatus(text); }; }
Step Position(int p) { return [p](CConsoleWindow& w) { w.SetProgressPos(p); }; }
Step Text(int id, const wchar_t* text) { return [id, text](CConsoleWindow& w) { w.SetItemText(id, text); }; }

std::string Show(bool terminal, const std::vector<Step>& steps)
{
    std::ostringstream out;
    CConsoleWindow window(out, terminal);
    for (const Step& s : steps)
        s(window);
    window.Finish();
    return out.str();
}

// A short failing run as the engine reports it.
const std::vector<Step> FAILING_RUN = {
    Status(L"Prepare to update..."),
    Text(IDC_DEVICE_INFO_1, L"V2.13"),
    Text(IDC_DEVICE_INFO_2, L"A0103"),
    Position(12),
    Status(L"Updating, elapsed time: 0 m 2 s"),
    Position(25),
    Status(L"Updating, elapsed time: 0 m 3 s"),
    Status(L"Write firmware failed.(31)"),
    Status(L"Update failed. (0 m 9 s) "),
    Position(1),
    Status(L"Update failed. (0 m 9 s) "),
    Position(0),
    Status(L"Update failed. (0 m 9 s) "),
};

TEST(ConsoleWindowTest, PlainOutputHasOneLinePerNewStatus)
{
    EXPECT_EQ(Show(false, FAILING_RUN),
              "Prepare to update...\n"
              "Machine information 1: V2.13\n"
              "Machine information 2: A0103\n"
              "Updating, elapsed time: 0 m 2 s (12%)\n"
              "Updating, elapsed time: 0 m 3 s (25%)\n"
              "Write firmware failed.(31)\n"
              "Update failed. (0 m 9 s) \n");
}

TEST(ConsoleWindowTest, TerminalRewritesTheElapsedTimeLineWithItsBar)
{
    std::string out = Show(true, FAILING_RUN);
    EXPECT_EQ(out,
              "\rPrepare to update...\n"
              "Machine information 1: V2.13\n"
              "Machine information 2: A0103\n"
              "\rUpdating, elapsed time: 0 m 2 s [###...........................] 12%"
              "\rUpdating, elapsed time: 0 m 2 s [#######.......................] 25%"
              "\rUpdating, elapsed time: 0 m 3 s [#######.......................] 25%\n"
              "\rWrite firmware failed.(31)\n"
              "\rUpdate failed. (0 m 9 s) \n");
}

TEST(ConsoleWindowTest, TerminalCountsTheRestartWaitInPlaceAndBlanksLeftovers)
{
    const wchar_t* wait0 = L"*** Please do NOT power off, wait for machine enter main interface(no picture) ***  ( 9 )";
    const wchar_t* wait1 = L"*** Please do NOT power off, wait for machine enter main interface(no picture) ***  ( 10 )";
    std::string out = Show(true, {Status(wait1), Status(wait0), Status(L"Communication with server...")});
    std::string w1 = "*** Please do NOT power off, wait for machine enter main interface(no picture) ***  ( 10 )";
    std::string w0 = "*** Please do NOT power off, wait for machine enter main interface(no picture) ***  ( 9 )";
    EXPECT_EQ(out, "\r" + w1 + "\r" + w0 + " \n\rCommunication with server...\n");
}

TEST(ConsoleWindowTest, EmptyStatusesPrintNothingAndEndTheLine)
{
    EXPECT_EQ(Show(true, {Status(L"Getting version info..."), Status(L""), Status(L"")}),
              "\rGetting version info...\n");
    EXPECT_EQ(Show(false, {Status(L""), Status(L"Getting version info..."), Status(L"")}),
              "Getting version info...\n");
}

TEST(ConsoleWindowTest, NotesAreIndentedLinesAndServerTextCannotSteerTheTerminal)
{
    std::string out = Show(false, {Text(IDC_UPDATE_LOG, L"V2.30\r\n- new \x1b[2Jpictures\r\n"),
                                  Text(IDC_DEVICE_INFO_1, L"V2\rX"), Text(IDC_STATUS, L"ignored")});
    EXPECT_EQ(out, "Update notes:\n  V2.30\n  - new ?[2Jpictures\nMachine information 1: V2?X\n");
}

TEST(ConsoleWindowTest, ProgressIsHeldInRangeAndButtonsAreTracked)
{
    std::ostringstream out;
    CConsoleWindow w(out, false);
    w.SetProgressPos(37);
    EXPECT_EQ(w.GetProgressPos(), 37);
    w.SetProgressPos(140);
    EXPECT_EQ(w.GetProgressPos(), 100);
    w.SetProgressPos(-3);
    EXPECT_EQ(w.GetProgressPos(), 0);
    w.EnableItem(IDC_UPDATE_ONLINE, false);
    w.EnableItem(IDC_MENU_BUTTON, false);
    EXPECT_FALSE(w.ButtonsEnabled());
    w.EnableItem(IDC_UPDATE_ONLINE, true);
    w.EnableItem(IDC_MENU_BUTTON, true);
    EXPECT_TRUE(w.ButtonsEnabled());
    w.ShowStatus(L"Update success. (4 m 5 s) ");
    w.ShowStatus(L"");
    EXPECT_EQ(w.LastStatus(), L"Update success. (4 m 5 s) ");
}

TEST(ConsoleWindowTest, ConsoleTextIsUtf8)
{
    EXPECT_EQ(ConsoleText(L"caf\u00e9 \u786e\u5b9a"), "caf\xc3\xa9 \xe7\xa1\xae\xe5\xae\x9a");
    EXPECT_EQ(ConsoleText(std::wstring(L"a\tb\nc\x7f\x85")), "a\tb\nc??");
}

TEST(InterruptGuardTest, AsksForASecondPressOnlyWhileWriting)
{
    struct Press {
        uint64_t atMs;
        CInterruptGuard::Action expected;
    };
    const struct {
        const char* name;
        bool writing;
        std::vector<Press> presses;
    } cases[] = {
        {"idle exits at once", false, {{1000, CInterruptGuard::Action::Exit}}},
        {"second press in time", true, {{1000, CInterruptGuard::Action::Warn}, {5900, CInterruptGuard::Action::Exit}}},
        {"second press too late warns again",
         true,
         {{1000, CInterruptGuard::Action::Warn},
          {7000, CInterruptGuard::Action::Warn},
          {8000, CInterruptGuard::Action::Exit}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CInterruptGuard guard;
        guard.SetWriting(c.writing);
        for (const Press& p : c.presses)
            EXPECT_EQ(guard.OnInterrupt(p.atMs), p.expected) << "at " << p.atMs;
    }

    // A warning from an earlier write does not carry over into the next one.
    CInterruptGuard guard;
    guard.SetWriting(true);
    EXPECT_EQ(guard.OnInterrupt(1000), CInterruptGuard::Action::Warn);
    guard.SetWriting(false);
    guard.SetWriting(true);
    EXPECT_EQ(guard.OnInterrupt(2000), CInterruptGuard::Action::Warn);
}

} // namespace
} // namespace vu
