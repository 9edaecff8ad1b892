#include "tests/ui/DialogHarness.h"

#include <commctrl.h>

#include <condition_variable>

namespace vu::test {

namespace {

std::mutex g_eventLock;
std::vector<DisplayEvent> g_events;
WNDPROC g_statusProc = nullptr;
WNDPROC g_progressProc = nullptr;
HWND g_recordedDialog = nullptr;

std::mutex g_stateLock;
std::vector<EXECUTION_STATE> g_states;

} // namespace

bool WaitFor(const std::function<bool()>& condition, int timeoutMs)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::wstring WindowText(HWND hWnd)
{
    int n = GetWindowTextLengthW(hWnd);
    std::wstring text(size_t(n) + 1, L'\0');
    text.resize(size_t(GetWindowTextW(hWnd, text.data(), n + 1)));
    return text;
}

std::wstring ClassName(HWND hWnd)
{
    wchar_t name[128] = {};
    GetClassNameW(hWnd, name, 128);
    return name;
}

DialogHarness::DialogHarness(const CVantorelleUpdateDlg::WorkerProcs& procs, const EngineContext* context)
{
    ClearExecutionStates();
    m_thread = std::thread([this, procs, context] {
        m_threadId = GetCurrentThreadId();
        CVantorelleUpdateDlg dlg(GetModuleHandleW(nullptr), nullptr, procs, context);
        dlg.SetExecutionStateSetter(RecordExecutionState);
        m_dlg = &dlg;
        m_result = dlg.DoModal();
        m_ended = true;
        // Let stand-in workers that still run finish before the object goes.
        WaitFor([&dlg] { return dlg.RunningWorkers() == 0; }, 10000);
        m_dlg = nullptr;
    });
    WaitFor([this] {
        if (!m_threadId)
            return false;
        CVantorelleUpdateDlg* dlg = m_dlg;
        HWND hWnd = dlg ? dlg->GetSafeHwnd() : nullptr;
        if (hWnd && IsWindowVisible(hWnd)) {
            m_hDlg = hWnd;
            return true;
        }
        return bool(m_ended);
    });
}

DialogHarness::~DialogHarness()
{
    fake::Release();
    if (!m_ended && m_hDlg) {
        // Out of any menu or message box first, then close without asking.
        for (int i = 0; i < 50 && !m_ended; ++i) {
            if (HWND box = FindThreadWindow(L"#32770"))
                PostMessageW(box, WM_COMMAND, IDYES, 0);
            else if (HWND menu = FindThreadWindow(L"#32768"))
                PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 0);
            else
                PostMessageW(m_hDlg, WM_COMMAND, IDCANCEL, 0);
            WaitFor([this] { return bool(m_ended); }, 200);
        }
    }
    if (m_thread.joinable())
        m_thread.join();
    std::lock_guard<std::mutex> lock(g_eventLock);
    g_recordedDialog = nullptr;
}

LRESULT CALLBACK DialogHarness::RecordingProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    WNDPROC original = GetDlgCtrlID(hWnd) == IDC_STATUS ? g_statusProc : g_progressProc;
    if ((message == WM_SETTEXT && GetDlgCtrlID(hWnd) == IDC_STATUS)
        || (message == PBM_SETPOS && GetDlgCtrlID(hWnd) == IDC_PROGRESS)) {
        DisplayEvent e;
        if (message == WM_SETTEXT)
            e.status = lParam ? reinterpret_cast<const wchar_t*>(lParam) : L"";
        else
            e.position = int(wParam);
        HWND dlg = GetParent(hWnd);
        e.updateEnabled = IsWindowEnabled(GetDlgItem(dlg, IDC_UPDATE_ONLINE));
        e.menuEnabled = IsWindowEnabled(GetDlgItem(dlg, IDC_MENU_BUTTON));
        std::lock_guard<std::mutex> lock(g_eventLock);
        g_events.push_back(e);
    }
    return CallWindowProcW(original, hWnd, message, wParam, lParam);
}

void DialogHarness::RecordDisplay()
{
    std::lock_guard<std::mutex> lock(g_eventLock);
    g_events.clear();
    if (g_recordedDialog == m_hDlg)
        return;
    g_recordedDialog = m_hDlg;
    g_statusProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
        Item(IDC_STATUS), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(RecordingProc)));
    g_progressProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
        Item(IDC_PROGRESS), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(RecordingProc)));
}

std::vector<DisplayEvent> DialogHarness::Events() const
{
    std::lock_guard<std::mutex> lock(g_eventLock);
    return g_events;
}

std::vector<std::wstring> DialogHarness::Statuses() const
{
    std::vector<std::wstring> texts;
    for (const DisplayEvent& e : Events())
        if (e.position < 0)
            texts.push_back(e.status);
    return texts;
}

namespace {
struct ThreadWindowSearch {
    const wchar_t* className;
    HWND dialog;
    HWND found;
};
} // namespace

BOOL CALLBACK DialogHarness::MatchThreadWindow(HWND hWnd, LPARAM search)
{
    auto* s = reinterpret_cast<ThreadWindowSearch*>(search);
    if (hWnd != s->dialog && IsWindowVisible(hWnd) && ClassName(hWnd) == s->className) {
        s->found = hWnd;
        return FALSE;
    }
    return TRUE;
}

HWND DialogHarness::FindThreadWindow(const wchar_t* className) const
{
    ThreadWindowSearch s{className, m_hDlg, nullptr};
    EnumThreadWindows(m_threadId, MatchThreadWindow, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

EXECUTION_STATE WINAPI DialogHarness::RecordExecutionState(EXECUTION_STATE flags)
{
    std::lock_guard<std::mutex> lock(g_stateLock);
    g_states.push_back(flags);
    return ES_CONTINUOUS;
}

std::vector<EXECUTION_STATE> DialogHarness::ExecutionStates()
{
    std::lock_guard<std::mutex> lock(g_stateLock);
    return g_states;
}

void DialogHarness::ClearExecutionStates()
{
    std::lock_guard<std::mutex> lock(g_stateLock);
    g_states.clear();
}

namespace fake {

const wchar_t* const STATUS[KIND_COUNT] = {L"fake version query", L"fake update", L"fake data repair",
                                           L"fake card repair"};

namespace {
std::mutex g_lock;
std::condition_variable g_released;
bool g_hold = false;
bool g_holdStart = false;
bool g_holdEnd = false;
std::atomic<int> g_started[KIND_COUNT];
std::atomic<int> g_finished[KIND_COUNT];

template <Kind K>
unsigned Worker(IWorkerWindow* window)
{
    {
        std::unique_lock<std::mutex> lock(g_lock);
        g_released.wait(lock, [] { return !g_holdStart; });
    }
    ++g_started[K];
    window->EnableItem(IDC_UPDATE_ONLINE, false);
    window->EnableItem(IDC_MENU_BUTTON, false);
    window->ShowStatus(STATUS[K]);
    {
        std::unique_lock<std::mutex> lock(g_lock);
        g_released.wait(lock, [] { return !g_hold; });
    }
    window->EnableItem(IDC_UPDATE_ONLINE, true);
    window->EnableItem(IDC_MENU_BUTTON, true);
    ++g_finished[K];
    {
        std::unique_lock<std::mutex> lock(g_lock);
        g_released.wait(lock, [] { return !g_holdEnd; });
    }
    return 0;
}
} // namespace

CVantorelleUpdateDlg::WorkerProcs Procs()
{
    return {Worker<VERSION_INFO>, Worker<UPDATE>, Worker<REPAIR_DATA>, Worker<REPAIR_CARD>};
}

void Reset(bool hold)
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_hold = hold;
    g_holdStart = false;
    g_holdEnd = false;
    for (int k = 0; k < KIND_COUNT; ++k) {
        g_started[k] = 0;
        g_finished[k] = 0;
    }
}

void Release()
{
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_hold = false;
        g_holdStart = false;
    }
    g_released.notify_all();
}

void HoldEnd(bool hold)
{
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_holdEnd = hold;
    }
    g_released.notify_all();
}

void HoldStart(bool hold)
{
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_holdStart = hold;
    }
    g_released.notify_all();
}

int Started(Kind kind) { return g_started[kind]; }
int Finished(Kind kind) { return g_finished[kind]; }

} // namespace fake

} // namespace vu::test
