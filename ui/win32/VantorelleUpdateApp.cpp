#include "ui/win32/VantorelleUpdateApp.h"

#include "ui/win32/VantorelleUpdateDlg.h"

#include <commctrl.h>

namespace vu {

CVantorelleUpdateApp theApp;

bool CVantorelleUpdateApp::InitInstance(HINSTANCE hInstance)
{
    INITCOMMONCONTROLSEX icc{};
    icc.dwSize = sizeof icc;
    icc.dwICC = ICC_WIN95_CLASSES;
    InitCommonControlsEx(&icc);

    CVantorelleUpdateDlg dlg(hInstance);
    dlg.DoModal();

    // The user chose to close while a worker runs: end the process here, so
    // that no worker goes on touching a window object that is gone.
    if (dlg.RunningWorkers() > 0)
        ExitProcess(0);
    return false;
}

} // namespace vu
