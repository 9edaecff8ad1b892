// The main window with the real engine under Wine: the version query as the
// window opens, "Update Online" and both repairs from the menu, against the
// in-process machine model and a loopback reference server.
#include "tests/ui/DialogHarness.h"
#include "tests/ui/ScreenCapture.h"

#include "engine/Engine.h"
#include "engine/EngineContext.h"
#include "log/Log.h"
#include "sim/machine/ModelDriver.h"
#include "sim/update-server/UpdateServer.h"
#include "tests/testsupport/TestSupport.h"
#include "tests/testsupport/VirtualSystem.h"

#include <VuVersion.h>
#include <gtest/gtest.h>

#include <commctrl.h>

#include <algorithm>
#include <regex>

namespace vu::test {
namespace {

// The version query waits for this, so that a test sees the window before it.
std::atomic<bool> g_versionGate{false};

unsigned GatedVersionInfo(IWorkerWindow* window)
{
    WaitFor([] { return g_versionGate.load(); }, 60000);
    return VersionInfoThread(window);
}

class DialogUpdateTest : public ::testing::Test {
protected:
    DialogUpdateTest() : m_driver(m_clock), m_context{m_driver, m_clock, {}} {}

    void SetUp() override
    {
        if (GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) == 0)
            GTEST_SKIP() << "no display (start Xvfb and set DISPLAY)";
        m_content = sim::MakeDemoContent(3000, 5000);
        m_content.notes = {"V1.4.1 notes\n", "- faster image writes\n"};
        m_server = std::make_unique<sim::UpdateServer>(m_content);
        std::string error;
        ASSERT_TRUE(m_server->Start(&error)) << error;
        m_server->ExportEnvironment();
        ResetLogIntervalForTesting();
    }

    void TearDown() override
    {
        m_window.reset();
        if (m_server)
            m_server->Stop();
    }

    // Opens the window with the engine's workers, the version query held back.
    DialogHarness& Open()
    {
        g_versionGate = false;
        CVantorelleUpdateDlg::WorkerProcs procs = CVantorelleUpdateDlg::EngineProcs();
        procs.versionInfo = GatedVersionInfo;
        m_window = std::make_unique<DialogHarness>(procs, &m_context);
        EXPECT_TRUE(m_window->Opened());
        return *m_window;
    }

    DialogHarness& OpenAndQuery()
    {
        DialogHarness& h = Open();
        g_versionGate = true;
        EXPECT_TRUE(WaitFor([&] { return h.ButtonsEnabled() && h.RunningWorkers() == 0; }, 60000));
        return h;
    }

    // Waits for the sequence started by a command to end.
    static void WaitForEnd(DialogHarness& h)
    {
        ASSERT_TRUE(WaitFor([&] { return h.ButtonsDisabled(); }, 5000));
        ASSERT_TRUE(WaitFor([&] { return h.ButtonsEnabled() && h.RunningWorkers() == 0; }, 300000));
    }

    static int HighestPosition(const std::vector<DisplayEvent>& events)
    {
        int top = -1;
        for (const DisplayEvent& e : events)
            top = std::max(top, e.position);
        return top;
    }

    bool ServerGot(const sim::Bytes& tag) const { return !m_server->RequestsFor(tag).empty(); }

    VirtualSystem m_clock;
    sim::ModelDriver m_driver;
    EngineContext m_context;
    sim::UpdateContent m_content;
    std::unique_ptr<sim::UpdateServer> m_server;
    LogCapture m_log;
    std::unique_ptr<DialogHarness> m_window;
};

TEST_F(DialogUpdateTest, OpeningLogsTheStartLineAndShowsTheVersionNotes)
{
    m_driver.Attach("Vantorelle");
    DialogHarness& h = Open();
    EXPECT_TRUE(h.ButtonsDisabled());
    EXPECT_EQ(WindowText(h.Item(IDC_STATUS)), L"");
    h.RecordDisplay();
    g_versionGate = true;
    ASSERT_TRUE(WaitFor([&] { return h.ButtonsEnabled() && h.RunningWorkers() == 0; }, 60000));

    std::vector<DisplayEvent> events = h.Events();
    // The query clears the line, and the thread clears it once more at its end.
    ASSERT_EQ(h.Statuses(),
              (std::vector<std::wstring>{L"Getting version info...", L"Communication with server...", L"", L""}));
    for (const DisplayEvent& e : events) {
        bool last = &e == &events.back();
        EXPECT_EQ(e.updateEnabled, last) << testing::PrintToString(e.status);
        EXPECT_EQ(e.menuEnabled, last) << testing::PrintToString(e.status);
    }
    EXPECT_EQ(WindowText(h.Item(IDC_UPDATE_LOG)), L"V1.4.1 notes\r\n- faster image writes\r\n");

    std::string file = ReadFileText(m_log.File());
    std::string first = file.substr(0, file.find("\r\n"));
    EXPECT_TRUE(first.ends_with("|    -   ]TAVRIN Automatic Key Cutting Machine V" VU_VERSION_TEXT " start")) << first;
}

TEST_F(DialogUpdateTest, UpdateOnlineRunsToSuccessWithTheBarBackAtZero)
{
    sim::MachineModel& machine = m_driver.Attach("Vantorelle");
    DialogHarness& h = OpenAndQuery();
    h.RecordDisplay();
    SetForegroundWindow(h.Dialog());
    PostMessageW(h.Item(IDC_UPDATE_ONLINE), BM_CLICK, 0, 0);
    WaitForEnd(h);

    std::wstring status = WindowText(h.Item(IDC_STATUS));
    EXPECT_TRUE(std::regex_match(status, std::wregex(L"Update success\\. \\(\\d+ m \\d+ s\\) "))) << Narrow(status);
    EXPECT_EQ(SendMessageW(h.Item(IDC_PROGRESS), PBM_GETPOS, 0, 0), 0);
    EXPECT_GE(HighestPosition(h.Events()), 40) << "the firmware phase takes the bar to 40";
    EXPECT_EQ(h.Statuses().front(), L"Prepare to update...");
    EXPECT_FALSE(WindowText(h.Item(IDC_DEVICE_INFO_1)).empty());
    EXPECT_FALSE(WindowText(h.Item(IDC_DEVICE_INFO_2)).empty());
    EXPECT_EQ(machine.Firmware(), m_content.firmware);
    EXPECT_EQ(machine.Image(0, m_content.image.size()), m_content.image);

    // For a person to look at: the window after a whole update.
    RedrawWindow(h.Dialog(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    Sleep(300);
    EXPECT_TRUE(SaveWindowPng(h.Dialog(), L"ui-dialog-after-update.png"));
}

struct RepairCase {
    const char* name;
    int downPresses;
    sim::Bytes tag; // the request the repair makes of the server
};

class DialogRepairTest : public DialogUpdateTest, public ::testing::WithParamInterface<RepairCase> {};

TEST_P(DialogRepairTest, MenuItemRunsItsRepairToSuccess)
{
    m_driver.Attach("Vantorelle");
    DialogHarness& h = OpenAndQuery();
    SetForegroundWindow(h.Dialog());
    PostMessageW(h.Item(IDC_MENU_BUTTON), BM_CLICK, 0, 0);
    HWND menu = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (menu = h.FindThreadWindow(L"#32768")) != nullptr; }));
    for (int i = 0; i < GetParam().downPresses; ++i)
        PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 1);
    PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 1);
    WaitForEnd(h);

    std::wstring status = WindowText(h.Item(IDC_STATUS));
    EXPECT_TRUE(std::regex_match(status, std::wregex(L"Repair success\\. \\(\\d+ m \\d+ s\\) "))) << Narrow(status);
    EXPECT_EQ(SendMessageW(h.Item(IDC_PROGRESS), PBM_GETPOS, 0, 0), 0);
    EXPECT_TRUE(ServerGot(GetParam().tag));
}

INSTANTIATE_TEST_SUITE_P(Items, DialogRepairTest,
                         ::testing::Values(RepairCase{"FixDataError", 1, {0x02, 0x01, 0x02}},
                                           RepairCase{"FixInternalError1", 2, {0x07, 0x42}}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace vu::test
