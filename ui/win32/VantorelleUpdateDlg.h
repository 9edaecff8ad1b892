// The main window: a modal dialog from template IDD_UPDATE_DIALOG. It starts
// the workers and carries out their requests on its own thread.
#pragma once

#include "engine/WorkerWindow.h"
#include "ui/win32/Resource.h"

#include <windows.h>

#include <atomic>
#include <string>

namespace vu {

class CVantorelleUpdateDlg : public IWorkerWindow {
public:
    // The procedures behind the window's commands; the engine's by default,
    // a test's stand-ins otherwise.
    struct WorkerProcs {
        WorkerProc versionInfo;
        WorkerProc update;
        WorkerProc repairData;
        WorkerProc repairInternalError;
    };
    static WorkerProcs EngineProcs();

    // How the window keeps the PC awake while a worker runs (a test's recorder
    // instead of SetThreadExecutionState).
    using ExecutionStateSetter = EXECUTION_STATE(WINAPI*)(EXECUTION_STATE flags);

    // context: what the workers run with; nullptr, the process's own (taken
    // when a worker first asks for it).
    explicit CVantorelleUpdateDlg(HINSTANCE hInstance, HWND hParent = nullptr,
                                  const WorkerProcs& procs = EngineProcs(), const EngineContext* context = nullptr);
    CVantorelleUpdateDlg(const CVantorelleUpdateDlg&) = delete;
    CVantorelleUpdateDlg& operator=(const CVantorelleUpdateDlg&) = delete;
    ~CVantorelleUpdateDlg() override;

    INT_PTR DoModal();
    HWND GetSafeHwnd() const { return m_hWnd; }
    // Workers started by this window that have not yet returned.
    int RunningWorkers() const { return m_nRunningWorkers; }
    void SetExecutionStateSetter(ExecutionStateSetter setter) { m_pfnSetExecutionState = setter; }

    // IWorkerWindow: each call is sent to the window's thread and has been
    // carried out when it returns.
    void ShowStatus(std::wstring text) override;
    void SetProgressPos(int position) override;
    int GetProgressPos() override;
    void EnableItem(int id, bool enable) override;
    void SetItemText(int id, std::wstring text) override;
    const EngineContext& Context() override;

private:
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

    BOOL OnInitDialog();
    bool OnPaint();
    void OnCommand(int id);
    void OnUpdateOnline();
    void OnMenuButton();
    void OnFixDataError();
    void OnFixInternalError();
    void OnClose(int id);
    bool StartWorkerThread(WorkerProc proc);
    void OnWorkerEnded();

    HINSTANCE m_hInstance;
    HWND m_hParent;
    HWND m_hWnd = nullptr;
    HICON m_hIcon = nullptr;
    HWND m_wndProgress = nullptr;  // control IDC_PROGRESS
    HWND m_wndUpdateLog = nullptr; // control IDC_UPDATE_LOG
    WorkerProcs m_procs;
    const EngineContext* m_pContext;
    std::atomic<int> m_nRunningWorkers{0};
    ExecutionStateSetter m_pfnSetExecutionState = ::SetThreadExecutionState;
};

// Texts the window shows.
extern const wchar_t* const DLG_TITLE_FORMAT;         // "... Update Tool V%s"
extern const wchar_t* const DLG_CLOSE_WHILE_RUNNING;  // the close guard's question

// Bare line feeds as CR LF, the line break of a multi-line edit box.
std::wstring WithEditLineBreaks(const std::wstring& text);

} // namespace vu
