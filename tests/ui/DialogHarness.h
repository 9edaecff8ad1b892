// Runs the main dialog on a window thread of its own, so that a test can
// drive it with messages from outside, as a user's clicks and keys would.
#pragma once

#include "ui/win32/VantorelleUpdateDlg.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vu::test {

// Polls until the condition holds or the time is up.
bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 10000);

std::wstring WindowText(HWND hWnd);
std::wstring ClassName(HWND hWnd);

// A status line or progress change as the window thread saw it, with the
// two command buttons' state at that moment.
struct DisplayEvent {
    std::wstring status;     // the new status text (status events)
    int position = -1;       // the new position (progress events)
    bool updateEnabled = false;
    bool menuEnabled = false;
};

class DialogHarness {
public:
    // context: what the workers run with (nullptr: the process's own).
    explicit DialogHarness(const CVantorelleUpdateDlg::WorkerProcs& procs, const EngineContext* context = nullptr);
    ~DialogHarness(); // closes the window if it is still open
    DialogHarness(const DialogHarness&) = delete;
    DialogHarness& operator=(const DialogHarness&) = delete;

    HWND Dialog() const { return m_hDlg; }
    HWND Item(int id) const { return GetDlgItem(m_hDlg, id); }
    DWORD ThreadId() const { return m_threadId; }
    bool Opened() const { return m_hDlg != nullptr; }
    // DoModal has returned.
    bool Ended() const { return m_ended; }
    INT_PTR Result() const { return m_result; }
    int RunningWorkers() const
    {
        CVantorelleUpdateDlg* dlg = m_dlg;
        return dlg ? dlg->RunningWorkers() : 0;
    }
    CVantorelleUpdateDlg& Dlg() { return *m_dlg; }

    bool ButtonsEnabled() const
    {
        return IsWindowEnabled(Item(IDC_UPDATE_ONLINE)) && IsWindowEnabled(Item(IDC_MENU_BUTTON));
    }
    bool ButtonsDisabled() const
    {
        return !IsWindowEnabled(Item(IDC_UPDATE_ONLINE)) && !IsWindowEnabled(Item(IDC_MENU_BUTTON));
    }

    // Every status text and progress position set from now on (recorded on
    // the window's thread).
    void RecordDisplay();
    std::vector<DisplayEvent> Events() const;
    std::vector<std::wstring> Statuses() const;

    // A top-level window of the dialog's thread other than the dialog itself
    // with the given class ("#32768" a popup menu, "#32770" a message box).
    HWND FindThreadWindow(const wchar_t* className) const;

    // Executions states the window asked for, in order.
    static std::vector<EXECUTION_STATE> ExecutionStates();
    static void ClearExecutionStates();

private:
    static BOOL CALLBACK MatchThreadWindow(HWND hWnd, LPARAM search);
    static LRESULT CALLBACK RecordingProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
    static EXECUTION_STATE WINAPI RecordExecutionState(EXECUTION_STATE flags);

    std::thread m_thread;
    std::atomic<DWORD> m_threadId{0};
    std::atomic<HWND> m_hDlg{nullptr};
    std::atomic<bool> m_ended{false};
    std::atomic<INT_PTR> m_result{0};
    std::atomic<CVantorelleUpdateDlg*> m_dlg{nullptr};
};

// Stand-in workers that behave like the engine's: disable both buttons, show
// a status, optionally wait to be released, enable both buttons.
namespace fake {
enum Kind { VERSION_INFO, UPDATE, REPAIR_DATA, REPAIR_CARD, KIND_COUNT };
extern const wchar_t* const STATUS[KIND_COUNT];
CVantorelleUpdateDlg::WorkerProcs Procs();
void Reset(bool hold);          // counts to 0; hold: workers wait for Release
void Release();
void HoldStart(bool hold); // workers wait before their first step
void HoldEnd(bool hold);   // workers wait after their last step, before they return
int Started(Kind kind);
int Finished(Kind kind);
} // namespace fake

} // namespace vu::test
