// The main window under Wine: its layout and texts, the start of the version
// query, the commands, the repair menu and the close guard. The workers here
// are stand-ins, so every case is about the window alone.
#include "tests/ui/DialogHarness.h"

#include "engine/ControlIds.h"

#include <VuVersion.h>
#include <gtest/gtest.h>

#include <commctrl.h>

#include <cstring>
#include <string>
#include <vector>

namespace vu::test {
namespace {

const wchar_t* const TITLE = L"TAVRIN Automatic Key Cutting Machine On line Update Tool V" VU_VERSION_WTEXT;
const wchar_t* const STEPS =
    L"1. Connect Vantorelle to PC with a USB cable.\n2. Turn on the Vantorelle.\n"
    L"3. Click 'Update Online' button to start update.\n4. The screen will appear 'Listenning' prompt.\n"
    L"5. Wait for update completed.";

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) == 0)
            GTEST_SKIP() << "no display (start Xvfb and set DISPLAY)";
    }

    // Opens the window with stand-in workers; with hold they run until Release.
    std::unique_ptr<DialogHarness> Open(bool hold)
    {
        fake::Reset(hold);
        auto h = std::make_unique<DialogHarness>(fake::Procs());
        EXPECT_TRUE(h->Opened());
        return h;
    }

    // Opens the window and lets the version query stand-in finish.
    std::unique_ptr<DialogHarness> OpenIdle(bool holdLaterWorkers = false)
    {
        auto h = Open(true);
        fake::Release();
        EXPECT_TRUE(WaitFor([&] { return h->ButtonsEnabled() && h->RunningWorkers() == 0; }));
        fake::Reset(holdLaterWorkers);
        return h;
    }

    static RECT DialogUnits(HWND dlg, int x, int y, int w, int h)
    {
        RECT r{x, y, w, h}; // every field maps on its own: left, top, width, height
        MapDialogRect(dlg, &r);
        return r;
    }

    static RECT PlaceInDialog(HWND dlg, HWND child)
    {
        RECT r;
        GetWindowRect(child, &r);
        MapWindowPoints(nullptr, dlg, reinterpret_cast<POINT*>(&r), 2);
        return RECT{r.left, r.top, r.right - r.left, r.bottom - r.top};
    }

    static void Activate(HWND dlg)
    {
        SetForegroundWindow(dlg);
        SetActiveWindow(dlg);
    }

    static HWND Focus(DWORD threadId)
    {
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        GetGUIThreadInfo(threadId, &info);
        return info.hwndFocus;
    }

    static void PressKey(HWND target, UINT vk)
    {
        PostMessageW(target, WM_KEYDOWN, vk, 1);
        PostMessageW(target, WM_KEYUP, vk, 0xC0000001);
    }
};

struct ControlCase {
    int id;
    const wchar_t* className;
    int x, y, w, h;
    DWORD type;        // the BS_/SS_ type, or ~0u when the class has none
    DWORD styles;      // bits that must be set
    bool border;       // WS_BORDER, or the edge a control draws instead
    bool visible;
    const wchar_t* text; // nullptr: not compared here
};

const DWORD NONE = ~0u;
const int PICTURE = -1;

// Template order, which is also the tab and drawing order.
const ControlCase CONTROLS[] = {
    {IDOK, L"Button", 227, 212, 13, 6, BS_DEFPUSHBUTTON, WS_TABSTOP, false, false, L"\u786e\u5b9a"},
    {IDCANCEL, L"Button", 241, 211, 13, 8, BS_PUSHBUTTON, WS_TABSTOP, false, false, L"\u53d6\u6d88"},
    {IDC_STEPS_GROUP, L"Button", 21, 132, 259, 78, BS_GROUPBOX, 0, false, true, L"Update Steps"},
    {IDC_WARNING_TEXT, L"Static", 87, 132, 185, 13, SS_LEFT, WS_GROUP, false, true,
     L" Do NOT turn off PC or unplug USB cable during updating"},
    {IDC_STEPS_TEXT, L"Static", 33, 162, 238, 45, SS_LEFT, WS_GROUP, false, true, STEPS},
    {IDC_ANTIVIRUS_TEXT, L"Static", 34, 147, 237, 9, SS_LEFT, WS_GROUP, false, true,
     L"If the upgrade fails, turn off anti-virus software and then try again."},
    {IDC_PROGRESS, L"msctls_progress32", 0, 264, 426, 17, NONE, 0, true, true, nullptr},
    {IDC_UPDATE_ONLINE, L"Button", 159, 220, 107, 24, BS_PUSHBUTTON, WS_TABSTOP, false, true, L"Update Online"},
    {IDC_STATUS, L"Static", 7, 248, 286, 12, SS_LEFT, WS_GROUP, false, true, nullptr},
    {PICTURE, L"Static", 14, 0, 0, 0, SS_BITMAP, 0, false, true, nullptr},
    {IDC_UPDATE_LOG, L"Edit", 297, 19, 119, 188, NONE,
     ES_MULTILINE | ES_AUTOHSCROLL | ES_READONLY | WS_VSCROLL | WS_TABSTOP, true, true, L""},
    {IDC_LOG_GROUP, L"Button", 292, 8, 129, 202, BS_GROUPBOX, 0, false, true, L"Update Log"},
    {IDC_MENU_BUTTON, L"Button", 269, 220, 10, 24, BS_PUSHBUTTON, WS_TABSTOP, false, true, L"V"},
    {IDC_DEVICE_INFO_1, L"Static", 325, 235, 92, 8, SS_RIGHT, WS_GROUP, false, true, L""},
    {IDC_DEVICE_INFO_2, L"Static", 325, 247, 92, 8, SS_RIGHT, WS_GROUP, false, true, L""},
};

TEST_F(DialogTest, OpensWithItsTitleTextsAndTheTemplateLayout)
{
    auto h = OpenIdle();
    HWND dlg = h->Dialog();
    EXPECT_EQ(WindowText(dlg), TITLE);

    LONG style = GetWindowLongW(dlg, GWL_STYLE);
    EXPECT_EQ(style & (WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME),
              WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME);
    EXPECT_EQ(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME), 0);
    EXPECT_TRUE(GetWindowLongW(dlg, GWL_EXSTYLE) & WS_EX_APPWINDOW);
    RECT client;
    GetClientRect(dlg, &client);
    RECT size = DialogUnits(dlg, 0, 0, 427, 281);
    EXPECT_EQ(client.right, size.right);
    EXPECT_EQ(client.bottom, size.bottom);

    LOGFONTW font{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(dlg, WM_GETFONT, 0, 0)), sizeof font, &font);
    HDC screen = GetDC(nullptr);
    EXPECT_EQ(font.lfHeight, -MulDiv(9, GetDeviceCaps(screen, LOGPIXELSY), 72));
    ReleaseDC(nullptr, screen);
    EXPECT_LE(font.lfWeight, FW_NORMAL);

    EXPECT_TRUE(SendMessageW(dlg, WM_GETICON, ICON_BIG, 0));
    EXPECT_TRUE(SendMessageW(dlg, WM_GETICON, ICON_SMALL, 0));

    HWND child = GetWindow(dlg, GW_CHILD);
    for (const ControlCase& c : CONTROLS) {
        SCOPED_TRACE(testing::Message() << "control " << c.id);
        ASSERT_NE(child, nullptr);
        int id = GetDlgCtrlID(child);
        if (c.id == PICTURE) {
            EXPECT_EQ(id & 0xFFFF, 0xFFFF);
        } else {
            EXPECT_EQ(id, c.id);
        }
        EXPECT_EQ(ClassName(child), c.className);
        LONG s = GetWindowLongW(child, GWL_STYLE);
        if (c.type != NONE) {
            DWORD mask = std::wstring(c.className) == L"Static" ? SS_TYPEMASK : BS_TYPEMASK;
            EXPECT_EQ(DWORD(s) & mask, c.type);
        }
        EXPECT_EQ(DWORD(s) & c.styles, c.styles);
        EXPECT_EQ(bool(s & WS_VISIBLE), c.visible);
        if (c.text) {
            EXPECT_EQ(WindowText(child), c.text);
        }

        RECT at = PlaceInDialog(dlg, child);
        RECT want = DialogUnits(dlg, c.x, c.y, c.w, c.h);
        EXPECT_EQ(at.left, want.left);
        EXPECT_EQ(at.top, want.top);
        if (c.id == PICTURE) {
            // The picture control takes the size of its bitmap.
            EXPECT_EQ(at.right, 480);
            EXPECT_EQ(at.bottom, 215);
            EXPECT_TRUE(SendMessageW(child, STM_GETIMAGE, IMAGE_BITMAP, 0));
        } else {
            EXPECT_EQ(at.right, want.right);
            EXPECT_EQ(at.bottom, want.bottom);
        }
        child = GetWindow(child, GW_HWNDNEXT);
    }
    EXPECT_EQ(child, nullptr) << "a control beyond the template's";
}

TEST_F(DialogTest, NoPlaceholderTextIsEverShown)
{
    auto h = OpenIdle();
    std::vector<std::wstring> texts{WindowText(h->Dialog())};
    for (HWND c = GetWindow(h->Dialog(), GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
        texts.push_back(WindowText(c));
    for (const std::wstring& t : texts)
        for (const wchar_t* placeholder : {L"501", L"502", L"503", L"504", L"505", L"506", L"508", L"509"})
            EXPECT_EQ(t.find(placeholder), std::wstring::npos) << "shown: " << testing::PrintToString(t);
    // The steps text shows five lines.
    EXPECT_EQ(std::count(STEPS, STEPS + wcslen(STEPS), L'\n'), 4);
    EXPECT_EQ(WindowText(h->Item(IDC_STEPS_TEXT)), STEPS);
}

TEST_F(DialogTest, ButtonsAreGreyFromTheStartUntilTheVersionQueryEnds)
{
    fake::Reset(true);
    fake::HoldStart(true);
    DialogHarness window(fake::Procs());
    DialogHarness* h = &window;
    // Disabled before the version query's own first step has run.
    EXPECT_TRUE(h->ButtonsDisabled());
    EXPECT_EQ(WindowText(h->Item(IDC_STATUS)), L"");
    fake::HoldStart(false);
    EXPECT_TRUE(WaitFor([] { return fake::Started(fake::VERSION_INFO) == 1; }));
    EXPECT_EQ(h->RunningWorkers(), 1);
    EXPECT_EQ(DialogHarness::ExecutionStates(),
              (std::vector<EXECUTION_STATE>{ES_CONTINUOUS | ES_SYSTEM_REQUIRED}));

    fake::Release();
    // The PC may sleep again once the last worker has ended (the window hears
    // of it through a posted message, a moment after the count drops).
    EXPECT_TRUE(WaitFor([&] {
        return h->ButtonsEnabled() && h->RunningWorkers() == 0 && DialogHarness::ExecutionStates().size() == 2;
    }));
    EXPECT_EQ(DialogHarness::ExecutionStates(),
              (std::vector<EXECUTION_STATE>{ES_CONTINUOUS | ES_SYSTEM_REQUIRED, ES_CONTINUOUS}));
    EXPECT_EQ(fake::Started(fake::UPDATE) + fake::Started(fake::REPAIR_DATA) + fake::Started(fake::REPAIR_CARD), 0);
}

TEST_F(DialogTest, UpdateOnlineClickStartsTheUpdateOnce)
{
    auto h = OpenIdle(true);
    Activate(h->Dialog());
    PostMessageW(h->Item(IDC_UPDATE_ONLINE), BM_CLICK, 0, 0);
    ASSERT_TRUE(WaitFor([] { return fake::Started(fake::UPDATE) == 1; }));
    EXPECT_TRUE(h->ButtonsDisabled());

    // Commands that arrive while it runs start nothing.
    SendMessageW(h->Dialog(), WM_COMMAND, MAKEWPARAM(IDC_UPDATE_ONLINE, BN_CLICKED), 0);
    SendMessageW(h->Dialog(), WM_COMMAND, ID_FIX_DATA_ERROR, 0);
    SendMessageW(h->Dialog(), WM_COMMAND, ID_FIX_INTERNAL_ERROR_1, 0);
    fake::Release();
    EXPECT_TRUE(WaitFor([&] { return h->ButtonsEnabled() && h->RunningWorkers() == 0; }));
    EXPECT_EQ(fake::Started(fake::UPDATE), 1);
    EXPECT_EQ(fake::Started(fake::REPAIR_DATA), 0);
    EXPECT_EQ(WindowText(h->Item(IDC_STATUS)), fake::STATUS[fake::UPDATE]);
}

TEST_F(DialogTest, TwoQuickClicksStartOneWorker)
{
    // The worker is slow to take its first step, so the second click comes
    // before it has greyed the buttons itself.
    auto h = OpenIdle(true);
    fake::HoldStart(true);
    for (int i = 0; i < 2; ++i)
        SendMessageW(h->Dialog(), WM_COMMAND, MAKEWPARAM(IDC_UPDATE_ONLINE, BN_CLICKED), 0);
    EXPECT_TRUE(h->ButtonsDisabled());
    fake::HoldStart(false);
    fake::Release();
    EXPECT_TRUE(WaitFor([&] { return h->ButtonsEnabled() && h->RunningWorkers() == 0; }));
    EXPECT_EQ(fake::Started(fake::UPDATE), 1);
}

struct MenuCase {
    const char* name;
    bool byKeyboard;             // Space on the focused "V" button instead of a click
    std::vector<UINT> keys;      // pressed in the open menu
    int startedKind;             // -1: none
};

class RepairMenuTest : public DialogTest, public ::testing::WithParamInterface<MenuCase> {};

TEST_P(RepairMenuTest, OpensAtThePointerWithTwoItemsAndStartsTheChosenRepair)
{
    const MenuCase& c = GetParam();
    auto h = OpenIdle();
    Activate(h->Dialog());
    HWND button = h->Item(IDC_MENU_BUTTON);
    RECT b;
    GetWindowRect(button, &b);
    POINT pointer{b.left - 200, b.top - 150}; // well away from the button
    SetCursorPos(pointer.x, pointer.y);
    ASSERT_TRUE(WaitFor([&] {
        POINT now;
        GetCursorPos(&now);
        return now.x == pointer.x && now.y == pointer.y;
    }));

    if (c.byKeyboard) {
        PostMessageW(h->Dialog(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(button), TRUE);
        ASSERT_TRUE(WaitFor([&] { return Focus(h->ThreadId()) == button; }));
        // As typed: through the input queue, so the key state is what a user's would be.
        INPUT keys[2] = {};
        keys[0].type = keys[1].type = INPUT_KEYBOARD;
        keys[0].ki.wVk = keys[1].ki.wVk = VK_SPACE;
        keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
        ASSERT_EQ(SendInput(2, keys, sizeof(INPUT)), 2u);
    } else {
        PostMessageW(button, BM_CLICK, 0, 0);
    }
    HWND menuWindow = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (menuWindow = h->FindThreadWindow(L"#32768")) != nullptr; }));

    HMENU menu = reinterpret_cast<HMENU>(SendMessageW(menuWindow, MN_GETHMENU, 0, 0));
    ASSERT_NE(menu, nullptr);

    ASSERT_EQ(GetMenuItemCount(menu), 2);
    const struct { UINT id; const wchar_t* text; } items[] = {
        {ID_FIX_DATA_ERROR, L"Fix data error(picture lost, etc)"},
        {ID_FIX_INTERNAL_ERROR_1, L"Fix 'Internal Error 1' error"},
    };
    for (int i = 0; i < 2; ++i) {
        wchar_t text[128] = {};
        GetMenuStringW(menu, UINT(i), text, 128, MF_BYPOSITION);
        EXPECT_EQ(GetMenuItemID(menu, i), items[i].id);
        EXPECT_STREQ(text, items[i].text);
        EXPECT_EQ(GetMenuState(menu, UINT(i), MF_BYPOSITION) & (MF_GRAYED | MF_DISABLED | MF_CHECKED), 0u);
    }
    RECT m;
    GetWindowRect(menuWindow, &m);
    EXPECT_EQ(m.left, pointer.x);
    EXPECT_EQ(m.top, pointer.y);

    for (UINT key : c.keys)
        PressKey(menuWindow, key);
    ASSERT_TRUE(WaitFor([&] { return h->FindThreadWindow(L"#32768") == nullptr; }));
    SendMessageW(h->Dialog(), WM_NULL, 0, 0);

    if (c.startedKind >= 0) {
        EXPECT_TRUE(WaitFor([&] { return fake::Finished(fake::Kind(c.startedKind)) == 1; }));
    }
    EXPECT_TRUE(WaitFor([&] { return h->RunningWorkers() == 0; }));
    for (int k : {fake::UPDATE, fake::REPAIR_DATA, fake::REPAIR_CARD})
        EXPECT_EQ(fake::Started(fake::Kind(k)), k == c.startedKind ? 1 : 0) << "worker " << k;
    EXPECT_TRUE(h->ButtonsEnabled());
}

INSTANTIATE_TEST_SUITE_P(
    Choices, RepairMenuTest,
    ::testing::Values(MenuCase{"FirstItem", false, {VK_DOWN, VK_RETURN}, fake::REPAIR_DATA},
                      MenuCase{"SecondItem", false, {VK_DOWN, VK_DOWN, VK_RETURN}, fake::REPAIR_CARD},
                      MenuCase{"SpaceOnButtonThenFirst", true, {VK_DOWN, VK_RETURN}, fake::REPAIR_DATA},
                      MenuCase{"Dismissed", false, {VK_ESCAPE}, -1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DialogTest, MenuDoesNotOpenWhileAWorkerRuns)
{
    auto h = Open(true); // the version query stand-in keeps running
    PostMessageW(h->Dialog(), WM_COMMAND, MAKEWPARAM(IDC_MENU_BUTTON, BN_CLICKED), 0);
    PostMessageW(h->Item(IDC_MENU_BUTTON), BM_CLICK, 0, 0);
    SendMessageW(h->Dialog(), WM_NULL, 0, 0);
    EXPECT_FALSE(WaitFor([&] { return h->FindThreadWindow(L"#32768") != nullptr; }, 300));
    fake::Release();
    EXPECT_TRUE(WaitFor([&] { return h->ButtonsEnabled(); }));
}

enum class CloseBy { CANCEL_COMMAND, OK_COMMAND, CLOSE_BOX, ESC_KEY, ENTER_KEY };

struct CloseCase {
    const char* name;
    CloseBy how;
};

class CloseGuardTest : public DialogTest, public ::testing::WithParamInterface<CloseCase> {
protected:
    void Ask(DialogHarness& h, CloseBy how)
    {
        switch (how) {
        case CloseBy::CANCEL_COMMAND: PostMessageW(h.Dialog(), WM_COMMAND, IDCANCEL, 0); break;
        case CloseBy::OK_COMMAND: PostMessageW(h.Dialog(), WM_COMMAND, IDOK, 0); break;
        case CloseBy::CLOSE_BOX: PostMessageW(h.Dialog(), WM_SYSCOMMAND, SC_CLOSE, 0); break;
        case CloseBy::ESC_KEY:
        case CloseBy::ENTER_KEY: {
            // Keys go where the focus is; the dialog's own loop turns them into commands.
            HWND focus = Focus(h.ThreadId());
            ASSERT_NE(focus, nullptr);
            PressKey(focus, how == CloseBy::ESC_KEY ? VK_ESCAPE : VK_RETURN);
            break;
        }
        }
    }
};

TEST_P(CloseGuardTest, AsksWhileAWorkerRunsAndNoKeepsTheWindow)
{
    auto h = OpenIdle(true);
    Activate(h->Dialog());
    PostMessageW(h->Dialog(), WM_COMMAND, MAKEWPARAM(IDC_UPDATE_ONLINE, BN_CLICKED), 0);
    ASSERT_TRUE(WaitFor([] { return fake::Started(fake::UPDATE) == 1; }));
    // The focus as a user would have it: on the update log box.
    PostMessageW(h->Dialog(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(h->Item(IDC_UPDATE_LOG)), TRUE);
    ASSERT_TRUE(WaitFor([&] { return Focus(h->ThreadId()) == h->Item(IDC_UPDATE_LOG); }));

    Ask(*h, GetParam().how);
    HWND box = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (box = h->FindThreadWindow(L"#32770")) != nullptr; }));
    std::wstring question;
    for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
        question += WindowText(c) + L"|";
    EXPECT_NE(question.find(L"unusable"), std::wstring::npos) << testing::PrintToString(question);
    EXPECT_NE(question.find(L"let the update finish"), std::wstring::npos);
    ASSERT_TRUE(GetDlgItem(box, IDYES) && GetDlgItem(box, IDNO));
    EXPECT_EQ(GetWindowLongW(GetDlgItem(box, IDNO), GWL_STYLE) & BS_TYPEMASK, BS_DEFPUSHBUTTON);

    // Enter takes the default answer, No.
    HWND focus = Focus(h->ThreadId());
    EXPECT_EQ(focus, GetDlgItem(box, IDNO));
    PressKey(focus, VK_RETURN);
    ASSERT_TRUE(WaitFor([&] { return h->FindThreadWindow(L"#32770") == nullptr; }));
    SendMessageW(h->Dialog(), WM_NULL, 0, 0);
    EXPECT_FALSE(h->Ended());
    EXPECT_TRUE(IsWindowVisible(h->Dialog()));
    EXPECT_EQ(fake::Finished(fake::UPDATE), 0) << "the worker must go on";

    // Once the worker has ended the same action closes at once.
    fake::Release();
    ASSERT_TRUE(WaitFor([&] { return h->RunningWorkers() == 0 && h->ButtonsEnabled(); }));
    PostMessageW(h->Dialog(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(h->Item(IDC_UPDATE_LOG)), TRUE);
    ASSERT_TRUE(WaitFor([&] { return Focus(h->ThreadId()) == h->Item(IDC_UPDATE_LOG); }));
    Ask(*h, GetParam().how);
    EXPECT_TRUE(WaitFor([&] { return h->Ended(); }));
    EXPECT_EQ(h->FindThreadWindow(L"#32770"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Ways, CloseGuardTest,
                         ::testing::Values(CloseCase{"CancelCommand", CloseBy::CANCEL_COMMAND},
                                           CloseCase{"OkCommand", CloseBy::OK_COMMAND},
                                           CloseCase{"CloseBox", CloseBy::CLOSE_BOX},
                                           CloseCase{"Esc", CloseBy::ESC_KEY},
                                           CloseCase{"Enter", CloseBy::ENTER_KEY}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DialogTest, CloseRightAfterTheButtonsReturnAsksNothing)
{
    // The worker has given the buttons back but its thread has not returned yet.
    auto h = OpenIdle(true);
    fake::HoldEnd(true);
    PostMessageW(h->Dialog(), WM_COMMAND, MAKEWPARAM(IDC_UPDATE_ONLINE, BN_CLICKED), 0);
    ASSERT_TRUE(WaitFor([] { return fake::Started(fake::UPDATE) == 1; }));
    fake::Release();
    ASSERT_TRUE(WaitFor([&] { return fake::Finished(fake::UPDATE) == 1 && h->ButtonsEnabled(); }));
    EXPECT_EQ(h->RunningWorkers(), 1);
    PostMessageW(h->Dialog(), WM_COMMAND, IDCANCEL, 0);
    EXPECT_TRUE(WaitFor([&] { return h->Ended(); }));
    EXPECT_EQ(h->FindThreadWindow(L"#32770"), nullptr);
    fake::HoldEnd(false);
    EXPECT_TRUE(WaitFor([&] { return h->RunningWorkers() == 0; }));
}

TEST_F(DialogTest, YesToTheCloseGuardEndsTheWindow)
{
    auto h = Open(true);
    PostMessageW(h->Dialog(), WM_COMMAND, IDCANCEL, 0);
    HWND box = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (box = h->FindThreadWindow(L"#32770")) != nullptr; }));
    PostMessageW(box, WM_COMMAND, IDYES, 0);
    EXPECT_TRUE(WaitFor([&] { return h->Ended(); }));
    EXPECT_EQ(h->Result(), IDCANCEL);
}

TEST_F(DialogTest, WorkerRequestsFromAnotherThreadAreCarriedOut)
{
    auto h = OpenIdle();
    IWorkerWindow& w = h->Dlg();
    std::thread worker([&] {
        w.SetProgressPos(37);
        EXPECT_EQ(w.GetProgressPos(), 37);
        w.ShowStatus(L"Prepare to update...");
        EXPECT_EQ(WindowText(h->Item(IDC_STATUS)), L"Prepare to update...");
        w.ShowStatus(L"");
        EXPECT_EQ(WindowText(h->Item(IDC_STATUS)), L"");
        w.SetItemText(IDC_DEVICE_INFO_1, L"V2.3");
        w.SetItemText(IDC_DEVICE_INFO_2, L"AB123");
        // Notes with bare line feeds still show as separate lines.
        w.SetItemText(IDC_UPDATE_LOG, L"one\ntwo\r\nthree");
        w.EnableItem(IDC_UPDATE_ONLINE, false);
        w.EnableItem(IDC_MENU_BUTTON, false);
    });
    worker.join();
    EXPECT_EQ(WindowText(h->Item(IDC_DEVICE_INFO_1)), L"V2.3");
    EXPECT_EQ(WindowText(h->Item(IDC_DEVICE_INFO_2)), L"AB123");
    EXPECT_EQ(WindowText(h->Item(IDC_UPDATE_LOG)), L"one\r\ntwo\r\nthree");
    EXPECT_EQ(SendMessageW(h->Item(IDC_UPDATE_LOG), EM_GETLINECOUNT, 0, 0), 3);
    EXPECT_TRUE(h->ButtonsDisabled());
}

// Reads dialog template 102 as the program carries it.
struct TemplateItem {
    DWORD style, exStyle;
    int x, y, w, h;
    int id;
    std::wstring className; // or "#n" for an ordinal class
    std::wstring text;      // or "#n" for an ordinal (the picture's bitmap)
};
struct DialogTemplate {
    DWORD style = 0, exStyle = 0;
    int w = 0, h = 0;
    std::wstring caption, face;
    int pointSize = 0, weight = 0, charset = -1;
    std::vector<TemplateItem> items;
};

DialogTemplate ReadDialogTemplate()
{
    HMODULE self = GetModuleHandleW(nullptr);
    HRSRC res = FindResourceW(self, MAKEINTRESOURCEW(IDD_UPDATE_DIALOG), RT_DIALOG);
    const auto* base = static_cast<const uint8_t*>(LockResource(LoadResource(self, res)));
    const uint8_t* p = base;
    auto word = [&p] { WORD v; memcpy(&v, p, 2); p += 2; return v; };
    auto dword = [&p] { DWORD v; memcpy(&v, p, 4); p += 4; return v; };
    auto text = [&p, &word] {
        std::wstring t;
        WORD first = word();
        if (first == 0xFFFF)
            return L"#" + std::to_wstring(word());
        for (WORD c = first; c; c = word())
            t.push_back(wchar_t(c));
        return t;
    };
    auto align = [&p, base] { p = base + ((p - base + 3) & ~3); };

    DialogTemplate d;
    EXPECT_EQ(word(), 1);      // DLGTEMPLATEEX
    EXPECT_EQ(word(), 0xFFFF);
    dword();                   // help id
    d.exStyle = dword();
    d.style = dword();
    int count = word();
    word();
    word();
    d.w = word();
    d.h = word();
    EXPECT_EQ(text(), L"");    // no menu
    EXPECT_EQ(text(), L"");    // the dialog class
    d.caption = text();
    d.pointSize = word();
    d.weight = word();
    p += 1;                    // italic
    d.charset = *p++;
    d.face = text();
    for (int i = 0; i < count; ++i) {
        align();
        TemplateItem item;
        dword();               // help id
        item.exStyle = dword();
        item.style = dword();
        item.x = short(word());
        item.y = short(word());
        item.w = short(word());
        item.h = short(word());
        item.id = int(dword());
        item.className = text();
        item.text = text();
        p += word();           // creation data
        d.items.push_back(item);
    }
    return d;
}

TEST_F(DialogTest, TemplateHoldsTheLayoutStylesAndPlaceholders)
{
    DialogTemplate d = ReadDialogTemplate();
    EXPECT_EQ(d.w, 427);
    EXPECT_EQ(d.h, 281);
    EXPECT_EQ(d.style, DWORD(DS_SHELLFONT | DS_MODALFRAME | WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU));
    EXPECT_EQ(d.exStyle, DWORD(WS_EX_APPWINDOW));
    EXPECT_EQ(d.caption, L"VantorelleUpdate");
    EXPECT_EQ(d.face, L"MS Shell Dlg");
    EXPECT_EQ(d.pointSize, 9);
    EXPECT_EQ(d.weight, FW_NORMAL);
    EXPECT_EQ(d.charset, DEFAULT_CHARSET);

    const wchar_t* const templateTexts[] = {L"\u786e\u5b9a", L"\u53d6\u6d88", L"501", L"502", L"506", L"505", L"",
                                            L"504", L"", L"#129", L"", L"503", L"V", L"", L""};
    ASSERT_EQ(d.items.size(), std::size(CONTROLS));
    for (size_t i = 0; i < d.items.size(); ++i) {
        const TemplateItem& t = d.items[i];
        const ControlCase& c = CONTROLS[i];
        SCOPED_TRACE(testing::Message() << "control " << c.id);
        EXPECT_EQ(t.id, c.id);
        EXPECT_EQ(t.x, c.x);
        EXPECT_EQ(t.y, c.y);
        if (c.id != PICTURE) {
            EXPECT_EQ(t.w, c.w);
            EXPECT_EQ(t.h, c.h);
        } else {
            EXPECT_EQ(t.w, 274);
            EXPECT_EQ(t.h, 123);
        }
        EXPECT_EQ(t.text, templateTexts[i]);
        EXPECT_EQ(t.style & c.styles, c.styles);
        EXPECT_EQ(bool(t.style & WS_VISIBLE), c.visible);
        EXPECT_EQ(bool(t.style & WS_BORDER), c.border);
        EXPECT_EQ(t.exStyle, 0u);
    }
}

TEST_F(DialogTest, ResourcesHoldTheIconSizesThePictureTheManifestAndTheVersion)
{
    HMODULE self = GetModuleHandleW(nullptr);
    HRSRC group = FindResourceW(self, MAKEINTRESOURCEW(IDR_MAINFRAME), RT_GROUP_ICON);
    ASSERT_NE(group, nullptr);
    const auto* dir = static_cast<const uint8_t*>(LockResource(LoadResource(self, group)));
    int count = dir[4] | dir[5] << 8;
    std::vector<std::pair<int, int>> entries; // size, bits
    for (int i = 0; i < count; ++i) {
        const uint8_t* e = dir + 6 + 14 * i;
        entries.push_back({e[0] ? e[0] : 256, e[6] | e[7] << 8});
    }
    for (int size : {48, 32, 24, 16})
        for (int bits : {4, 8, 32})
            EXPECT_NE(std::find(entries.begin(), entries.end(), std::make_pair(size, bits)), entries.end())
                << size << " px at " << bits << " bits";
    EXPECT_NE(std::find(entries.begin(), entries.end(), std::make_pair(256, 32)), entries.end());

    HANDLE picture = LoadImageW(self, MAKEINTRESOURCEW(IDB_MACHINE_PICTURE), IMAGE_BITMAP, 0, 0,
                                LR_CREATEDIBSECTION);
    ASSERT_NE(picture, nullptr);
    BITMAP bm{};
    GetObjectW(picture, sizeof bm, &bm);
    EXPECT_EQ(bm.bmWidth, 480);
    EXPECT_EQ(bm.bmHeight, 215);
    EXPECT_EQ(bm.bmBitsPixel, 24);
    DeleteObject(picture);

    HRSRC manifest = FindResourceW(self, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(manifest, nullptr);
    std::string text(static_cast<const char*>(LockResource(LoadResource(self, manifest))),
                     SizeofResource(self, manifest));
    EXPECT_NE(text.find("Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
    EXPECT_NE(text.find("level=\"asInvoker\""), std::string::npos);
    HMENU menu = LoadMenuW(self, MAKEINTRESOURCEW(IDR_REPAIR_MENU));
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(GetMenuItemCount(GetSubMenu(menu, 0)), 2);
    DestroyMenu(menu);

    wchar_t path[MAX_PATH];
    GetModuleFileNameW(self, path, MAX_PATH);
    std::vector<uint8_t> version(GetFileVersionInfoSizeW(path, nullptr));
    ASSERT_FALSE(version.empty());
    ASSERT_TRUE(GetFileVersionInfoW(path, 0, DWORD(version.size()), version.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(version.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00000001u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00000001u);
    wchar_t* name = nullptr;
    ASSERT_TRUE(VerQueryValueW(version.data(), L"\\StringFileInfo\\040904b0\\OriginalFilename",
                               reinterpret_cast<void**>(&name), &length));
    EXPECT_STREQ(name, L"VantorelleUpdate.exe");
}

} // namespace
} // namespace vu::test
