#include "ui/win32/VantorelleUpdateDlg.h"

#include "engine/Engine.h"
#include "log/Format.h"
#include "platform/ToolVersion.h"

#include <commctrl.h>

#include <system_error>
#include <thread>

namespace vu {

const wchar_t* const DLG_TITLE_FORMAT = L"TAVRIN Automatic Key Cutting Machine On line Update Tool V%s";
const wchar_t* const DLG_CLOSE_WHILE_RUNNING =
    L"The machine is being updated. Closing now may leave the machine unusable.\n\n"
    L"Please let the update finish. Close anyway?";

namespace {

const wchar_t* const STEPS_TEXT =
    L"1. Connect Vantorelle to PC with a USB cable.\n"
    L"2. Turn on the Vantorelle.\n"
    L"3. Click 'Update Online' button to start update.\n"
    L"4. The screen will appear 'Listenning' prompt.\n"
    L"5. Wait for update completed.";

// Requests a worker sends to the window's thread.
constexpr UINT WM_VU_ENABLE_ITEM = WM_APP + 1;  // wParam id, lParam flag
constexpr UINT WM_VU_WORKER_ENDED = WM_APP + 2;

// What a worker may change, by control id.
bool IsCommandButton(int id) { return id == IDC_UPDATE_ONLINE || id == IDC_MENU_BUTTON; }
bool IsDisplayText(int id)
{
    return id == IDC_UPDATE_LOG || id == IDC_DEVICE_INFO_1 || id == IDC_DEVICE_INFO_2;
}

} // namespace

std::wstring WithEditLineBreaks(const std::wstring& text)
{
    // A multi-line edit box breaks lines only at CR LF; notes written with bare
    // line feeds would show as one long line.
    std::wstring out;
    out.reserve(text.size() + text.size() / 16);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\n' && (i == 0 || text[i - 1] != L'\r'))
            out += L'\r';
        out += text[i];
    }
    return out;
}

CVantorelleUpdateDlg::WorkerProcs CVantorelleUpdateDlg::EngineProcs()
{
    return {VersionInfoThread, UpdateThread, RepairDataThread, RepairInternalErrorThread};
}

CVantorelleUpdateDlg::CVantorelleUpdateDlg(HINSTANCE hInstance, HWND hParent, const WorkerProcs& procs,
                                           const EngineContext* context)
    : m_hInstance(hInstance), m_hParent(hParent), m_procs(procs), m_pContext(context)
{
    m_hIcon = LoadIconW(hInstance, MAKEINTRESOURCEW(IDR_MAINFRAME));
}

CVantorelleUpdateDlg::~CVantorelleUpdateDlg()
{
    // The controls went with the window; the icon came from the resources and
    // needs no freeing.
    m_wndUpdateLog = nullptr;
    m_wndProgress = nullptr;
}

INT_PTR CVantorelleUpdateDlg::DoModal()
{
    return DialogBoxParamW(m_hInstance, MAKEINTRESOURCEW(IDD_UPDATE_DIALOG), m_hParent, DialogProc,
                           reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CVantorelleUpdateDlg::DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    CVantorelleUpdateDlg* dlg;
    if (message == WM_INITDIALOG) {
        dlg = reinterpret_cast<CVantorelleUpdateDlg*>(lParam);
        SetWindowLongPtrW(hWnd, DWLP_USER, lParam);
        dlg->m_hWnd = hWnd;
    } else {
        dlg = reinterpret_cast<CVantorelleUpdateDlg*>(GetWindowLongPtrW(hWnd, DWLP_USER));
    }
    return dlg ? dlg->HandleMessage(message, wParam, lParam) : FALSE;
}

INT_PTR CVantorelleUpdateDlg::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog();
    case WM_PAINT:
        return OnPaint();
    case WM_QUERYDRAGICON:
        return reinterpret_cast<INT_PTR>(m_hIcon);
    case WM_COMMAND:
        // Clicks and menu items; other notifications (the edit box's) are not commands.
        if (HIWORD(wParam) != BN_CLICKED)
            return FALSE;
        OnCommand(LOWORD(wParam));
        return TRUE;
    case WM_VU_ENABLE_ITEM:
        if (IsCommandButton(int(wParam)))
            EnableWindow(GetDlgItem(m_hWnd, int(wParam)), lParam != 0);
        return TRUE;
    case WM_VU_WORKER_ENDED:
        OnWorkerEnded();
        return TRUE;
    default:
        return FALSE;
    }
}

BOOL CVantorelleUpdateDlg::OnInitDialog()
{
    m_wndProgress = GetDlgItem(m_hWnd, IDC_PROGRESS);
    m_wndUpdateLog = GetDlgItem(m_hWnd, IDC_UPDATE_LOG);

    SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

    SetWindowTextW(m_hWnd, Format(DLG_TITLE_FORMAT, TOOL_VERSION_TEXT).c_str());
    WriteStartLine();

    SetDlgItemTextW(m_hWnd, IDC_STEPS_GROUP, L"Update Steps");
    SetDlgItemTextW(m_hWnd, IDC_WARNING_TEXT, L" Do NOT turn off PC or unplug USB cable during updating");
    SetDlgItemTextW(m_hWnd, IDC_LOG_GROUP, L"Update Log");
    SetDlgItemTextW(m_hWnd, IDC_UPDATE_ONLINE, L"Update Online");
    SetDlgItemTextW(m_hWnd, IDC_ANTIVIRUS_TEXT,
                    L"If the upgrade fails, turn off anti-virus software and then try again.");
    SetDlgItemTextW(m_hWnd, IDC_STEPS_TEXT, STEPS_TEXT);

    StartWorkerThread(m_procs.versionInfo);
    return TRUE;
}

bool CVantorelleUpdateDlg::OnPaint()
{
    if (!IsIconic(m_hWnd))
        return false; // the dialog's default painting
    PAINTSTRUCT ps;
    HDC hdc = BeginPaint(m_hWnd, &ps);
    SendMessageW(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(hdc), 0);
    int cxIcon = GetSystemMetrics(SM_CXICON);
    int cyIcon = GetSystemMetrics(SM_CYICON);
    RECT rect;
    GetClientRect(m_hWnd, &rect);
    int x = (rect.right - rect.left - cxIcon + 1) / 2;
    int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
    DrawIcon(hdc, x, y, m_hIcon);
    EndPaint(m_hWnd, &ps);
    return true;
}

void CVantorelleUpdateDlg::OnCommand(int id)
{
    switch (id) {
    case IDC_UPDATE_ONLINE: OnUpdateOnline(); break;
    case IDC_MENU_BUTTON: OnMenuButton(); break;
    case ID_FIX_DATA_ERROR: OnFixDataError(); break;
    case ID_FIX_INTERNAL_ERROR_1: OnFixInternalError(); break;
    case IDOK:
    case IDCANCEL: OnClose(id); break;
    default: break;
    }
}

void CVantorelleUpdateDlg::OnUpdateOnline() { StartWorkerThread(m_procs.update); }
void CVantorelleUpdateDlg::OnFixDataError() { StartWorkerThread(m_procs.repairData); }
void CVantorelleUpdateDlg::OnFixInternalError() { StartWorkerThread(m_procs.repairInternalError); }

void CVantorelleUpdateDlg::OnMenuButton()
{
    if (!IsWindowEnabled(GetDlgItem(m_hWnd, IDC_MENU_BUTTON)))
        return; // a click that was queued before the button went grey

    // At the pointer, not at the button, also when the button is pressed by key.
    POINT pt{};
    GetCursorPos(&pt);
    HMENU hMenu = LoadMenuW(m_hInstance, MAKEINTRESOURCEW(IDR_REPAIR_MENU));
    if (!hMenu)
        return;
    HMENU hPopup = GetSubMenu(hMenu, 0);
    ModifyMenuW(hPopup, ID_FIX_DATA_ERROR, MF_BYCOMMAND | MF_STRING, ID_FIX_DATA_ERROR,
                L"Fix data error(picture lost, etc)");
    ModifyMenuW(hPopup, ID_FIX_INTERNAL_ERROR_1, MF_BYCOMMAND | MF_STRING, ID_FIX_INTERNAL_ERROR_1,
                L"Fix 'Internal Error 1' error");

    HWND hOwner = m_hWnd;
    while (GetWindowLongW(hOwner, GWL_STYLE) & WS_CHILD)
        hOwner = GetParent(hOwner);

    TrackPopupMenu(hPopup, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON, pt.x, pt.y, 0, hOwner, nullptr);
    DestroyMenu(hMenu);
}

void CVantorelleUpdateDlg::OnClose(int id)
{
    // Ending the program mid-write can leave the machine without firmware or
    // data. A worker gives the buttons back as its last act: after that it
    // writes nothing more, so a close then needs no question.
    if (m_nRunningWorkers > 0 && !IsWindowEnabled(GetDlgItem(m_hWnd, IDC_UPDATE_ONLINE))) {
        wchar_t title[256] = {};
        GetWindowTextW(m_hWnd, title, 256);
        int answer = MessageBoxW(m_hWnd, DLG_CLOSE_WHILE_RUNNING, title,
                                 MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2);
        if (answer != IDYES)
            return;
    }
    EndDialog(m_hWnd, id);
}

bool CVantorelleUpdateDlg::StartWorkerThread(WorkerProc proc)
{
    // The grey buttons are the guard: a second click queued behind the first
    // finds them disabled here and starts nothing.
    if (!proc || !IsWindowEnabled(GetDlgItem(m_hWnd, IDC_UPDATE_ONLINE))
        || !IsWindowEnabled(GetDlgItem(m_hWnd, IDC_MENU_BUTTON)))
        return false;
    EnableWindow(GetDlgItem(m_hWnd, IDC_UPDATE_ONLINE), FALSE);
    EnableWindow(GetDlgItem(m_hWnd, IDC_MENU_BUTTON), FALSE);

    if (++m_nRunningWorkers == 1)
        m_pfnSetExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED); // no sleep mid-write
    HWND hWnd = m_hWnd;
    try {
        std::thread([proc, this, hWnd] {
            proc(this);
            // The count is the thread's last touch of this object.
            if (--m_nRunningWorkers == 0)
                PostMessageW(hWnd, WM_VU_WORKER_ENDED, 0, 0);
        }).detach();
    } catch (const std::system_error&) {
        --m_nRunningWorkers;
        OnWorkerEnded();
        EnableWindow(GetDlgItem(m_hWnd, IDC_UPDATE_ONLINE), TRUE);
        EnableWindow(GetDlgItem(m_hWnd, IDC_MENU_BUTTON), TRUE);
        return false;
    }
    return true;
}

void CVantorelleUpdateDlg::OnWorkerEnded()
{
    // A worker started since the post keeps the PC awake.
    if (m_nRunningWorkers == 0)
        m_pfnSetExecutionState(ES_CONTINUOUS);
}

void CVantorelleUpdateDlg::ShowStatus(std::wstring text)
{
    SendMessageW(GetDlgItem(m_hWnd, IDC_STATUS), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void CVantorelleUpdateDlg::SetProgressPos(int position)
{
    SendMessageW(m_wndProgress, PBM_SETPOS, WPARAM(position), 0);
}

int CVantorelleUpdateDlg::GetProgressPos()
{
    return int(SendMessageW(m_wndProgress, PBM_GETPOS, 0, 0));
}

void CVantorelleUpdateDlg::EnableItem(int id, bool enable)
{
    SendMessageW(m_hWnd, WM_VU_ENABLE_ITEM, WPARAM(id), enable ? 1 : 0);
}

const EngineContext& CVantorelleUpdateDlg::Context() { return m_pContext ? *m_pContext : ProcessContext(); }

void CVantorelleUpdateDlg::SetItemText(int id, std::wstring text)
{
    if (!IsDisplayText(id))
        return;
    if (id == IDC_UPDATE_LOG)
        text = WithEditLineBreaks(text);
    SendMessageW(GetDlgItem(m_hWnd, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

} // namespace vu
