// What a worker may do to the window. Every request is carried out on the
// window's own thread and has finished when the call returns.
#pragma once

#include "engine/ControlIds.h"
#include "engine/EngineContext.h"

#include <string>

namespace vu {

class IWorkerWindow {
public:
    virtual ~IWorkerWindow() = default;
    // Replaces the text of IDC_STATUS.
    virtual void ShowStatus(std::wstring text) = 0;
    // PBM_SETPOS and PBM_GETPOS on IDC_PROGRESS (range 0 to 100).
    virtual void SetProgressPos(int position) = 0;
    virtual int GetProgressPos() = 0;
    // EnableWindow on IDC_UPDATE_ONLINE or IDC_MENU_BUTTON.
    virtual void EnableItem(int id, bool enable) = 0;
    // SetWindowText on IDC_UPDATE_LOG, IDC_DEVICE_INFO_1 or IDC_DEVICE_INFO_2.
    virtual void SetItemText(int id, std::wstring text) = 0;

    // What the worker runs with, as the front end chose it.
    virtual const EngineContext& Context() = 0;
    // How the worker's sequence ended, told once as its last status is shown
    // (the status says it in words; a front end that needs the value reads
    // this). The dialog has no use for it.
    virtual void ReportOutcome(bool succeeded) { (void)succeeded; }
};

using WorkerProc = unsigned (*)(IWorkerWindow* window);

} // namespace vu
