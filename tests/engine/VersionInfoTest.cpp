// The version query at start-up: what the user sees in the status line, the
// notes box and the buttons, for the server's possible answers.
#include "engine/Engine.h"
#include "tests/engine/EngineFixture.h"

namespace vu::test {
namespace {

class VersionInfoTest : public EngineTest {};

TEST_F(VersionInfoTest, NotesFromRecordsOneOnwardReplaceTheBoxAndTheButtonsComeBack)
{
    m_window.SetItemText(IDC_UPDATE_LOG, L"old");
    RawReply(kVersionTag, {Text("A"), Text("B"), Text("C")});

    EXPECT_EQ(VersionInfoThread(&m_window), 0u);

    EXPECT_EQ(m_window.Text(IDC_UPDATE_LOG), L"BC");
    EXPECT_EQ(m_window.Statuses(), (std::vector<std::wstring>{L"Getting version info...",
                                                              L"Communication with server...", L"", L""}));
    std::vector<RecordingWindow::Event> buttons = m_window.Events(RecordingWindow::Kind::Enable);
    ASSERT_EQ(buttons.size(), 4u);
    EXPECT_EQ(std::vector<int>({buttons[0].id, buttons[0].value, buttons[1].id, buttons[1].value}),
              std::vector<int>({IDC_UPDATE_ONLINE, 0, IDC_MENU_BUTTON, 0}));
    EXPECT_EQ(std::vector<int>({buttons[2].id, buttons[2].value, buttons[3].id, buttons[3].value}),
              std::vector<int>({IDC_UPDATE_ONLINE, 1, IDC_MENU_BUTTON, 1}));

    // The request: tag, computer name, version, "en" without a zero, to the fixed server.
    std::vector<sim::ReceivedRequest> requests = RequestsFor(kVersionTag);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].port, "fixed");
    ASSERT_EQ(requests[0].parsed.fields.size(), 4u);
    EXPECT_EQ(requests[0].parsed.fields[3], Text("en"));
}

TEST_F(VersionInfoTest, ServedNotesAreJoinedWithoutSeparator)
{
    sim::UpdateContent c = DefaultContent();
    c.notes = {"line one\r\n", "line two\r\n"};
    SetContent(c);

    EXPECT_TRUE(GetVersionInfo(&m_window));
    EXPECT_EQ(m_window.Text(IDC_UPDATE_LOG), L"line one\r\nline two\r\n");
}

struct NotesCase {
    const char* name;
    std::vector<Bytes> records;
    bool result;
    std::wstring shown; // empty: the box keeps "old"
    friend void PrintTo(const NotesCase& c, std::ostream* os) { *os << c.name; }
};

class VersionNotesTest : public VersionInfoTest, public ::testing::WithParamInterface<NotesCase> {};

TEST_P(VersionNotesTest, ConvertsEachRecordUpToItsFirstZeroOrItsEnd)
{
    const NotesCase& c = GetParam();
    m_window.SetItemText(IDC_UPDATE_LOG, L"old");
    RawReply(kVersionTag, c.records);

    EXPECT_EQ(GetVersionInfo(&m_window), c.result);
    EXPECT_EQ(m_window.Text(IDC_UPDATE_LOG), c.shown.empty() ? L"old" : c.shown);
    if (!c.result) { // nothing beyond the exchange's own status
        EXPECT_EQ(m_window.Status(), L"Communication with server...");
    }
}

const Bytes kZeroInside{'A', 'B', 0, 'C', 'D'};
const Bytes kFull(1100, 'x'); // fills the record buffer, no zero byte

INSTANTIATE_TEST_SUITE_P(Replies, VersionNotesTest,
                         ::testing::Values(NotesCase{"OneRecordIsAFailure", {Text("header")}, false, L""},
                                           NotesCase{"NoRecords", {}, false, L""},
                                           NotesCase{"ZeroByteEndsTheText", {Text("h"), kZeroInside}, true, L"AB"},
                                           NotesCase{"FullRecordWithoutZeroEndsAtItsLength",
                                                     {Text("h"), kFull, Text("!")},
                                                     true,
                                                     std::wstring(1100, L'x') + L"!"},
                                           NotesCase{"EightBitTextKeepsItsBytes", {Text("h"), {0xE9, 0x41}}, true,
                                                     std::wstring(L"\u00e9A")}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(VersionInfoTest, UnreachableServerLeavesTheBoxAndEnablesTheButtons)
{
    m_server.Stop(); // nothing listens on the address any more
    m_window.SetItemText(IDC_UPDATE_LOG, L"old");

    EXPECT_EQ(VersionInfoThread(&m_window), 0u);

    EXPECT_EQ(m_window.Statuses(),
              (std::vector<std::wstring>{L"Getting version info...", L"Communication with server...", L""}));
    EXPECT_EQ(m_window.Text(IDC_UPDATE_LOG), L"old");
    EXPECT_EQ(m_window.TextChanges(IDC_UPDATE_LOG), 1u);
    EXPECT_TRUE(m_window.Enabled(IDC_UPDATE_ONLINE));
    EXPECT_TRUE(m_window.Enabled(IDC_MENU_BUTTON));
}

TEST_F(VersionInfoTest, StartedAsAWorkerItReportsFromItsOwnThread)
{
    RawReply(kVersionTag, {Text("h"), Text("notes")});
    StartWorker(VersionInfoThread, &m_window);
    ASSERT_TRUE(m_window.WaitForWorkerEnd(std::chrono::seconds(20)));
    EXPECT_EQ(m_window.Text(IDC_UPDATE_LOG), L"notes");
    EXPECT_TRUE(m_window.WaitUntil([](const RecordingWindow& w) { return w.Statuses().size() == 4; },
                                   std::chrono::seconds(5)));
    EXPECT_EQ(m_window.Status(), L"");
}

} // namespace
} // namespace vu::test
