// Drives the unmodified VantorelleUpdate.exe as a user would: starts it,
// finds its dialog, waits for "Update Online" to be ready, presses it, and
// waits for the final status text. Prints every status text it sees; exits
// 0 on "Update success.", 1 on "Update failed.", 2 when something else went
// wrong (no dialog, no final status in time).
//
//   DialogDriver.exe PATH\VantorelleUpdate.exe [timeout-seconds [hold-seconds]]
// hold-seconds: how long the final status stays on screen before the
// dialog is closed (a demo's viewer wants to read it).
#include "engine/ControlIds.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

struct Search {
    DWORD processId;
    HWND dialog;
};

BOOL CALLBACK FindDialog(HWND hwnd, LPARAM param)
{
    auto* s = reinterpret_cast<Search*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    wchar_t cls[64] = {};
    GetClassNameW(hwnd, cls, 64);
    if (pid == s->processId && std::wcscmp(cls, L"#32770") == 0 && IsWindowVisible(hwnd)) {
        s->dialog = hwnd;
        return FALSE;
    }
    return TRUE;
}

std::wstring Text(HWND hwnd)
{
    wchar_t buf[512] = {};
    // WM_GETTEXT with a timeout: a busy or hung window must not hang the driver.
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(hwnd, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(buf), SMTO_ABORTIFHUNG, 2000, &copied);
    buf[511] = 0;
    return buf;
}

bool StartsWith(const std::wstring& s, const wchar_t* prefix) { return s.rfind(prefix, 0) == 0; }

void Say(const char* what, const std::wstring& text)
{
    std::printf("%s%ls\n", what, text.c_str());
    std::fflush(stdout);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: DialogDriver PATH\\VantorelleUpdate.exe [timeout-seconds [hold-seconds]]\n");
        return 2;
    }
    DWORD timeoutMs = (argc > 2 ? DWORD(_wtoi(argv[2])) : 600) * 1000;
    DWORD holdMs = (argc > 3 ? DWORD(_wtoi(argv[3])) : 0) * 1000;

    std::wstring command = L"\"" + std::wstring(argv[1]) + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(argv[1], command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        std::fprintf(stderr, "DialogDriver: cannot start the program (error %lu)\n", GetLastError());
        return 2;
    }
    int result = 2;
    DWORD start = GetTickCount();
    auto elapsed = [&] { return GetTickCount() - start; };

    Search s{pi.dwProcessId, nullptr};
    while (!s.dialog && elapsed() < 60000 && WaitForSingleObject(pi.hProcess, 100) == WAIT_TIMEOUT)
        EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&s));
    HWND button = s.dialog ? GetDlgItem(s.dialog, IDC_UPDATE_ONLINE) : nullptr;
    HWND status = s.dialog ? GetDlgItem(s.dialog, IDC_STATUS) : nullptr;
    if (!button || !status) {
        std::fprintf(stderr, "DialogDriver: no dialog with the update button appeared\n");
    } else {
        Say("title: ", Text(s.dialog));
        // The button carries its text and is enabled once the dialog has set itself up.
        while (elapsed() < 60000 && !(Text(button) == L"Update Online" && IsWindowEnabled(button)))
            Sleep(100);
        Say("button: ", Text(button));
        if (Text(button) != L"Update Online") {
            std::fprintf(stderr, "DialogDriver: the button never read \"Update Online\"\n");
        } else {
            PostMessageW(button, BM_CLICK, 0, 0);
            std::wstring last;
            DWORD pressed = GetTickCount();
            while (GetTickCount() - pressed < timeoutMs) {
                if (WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0) {
                    std::fprintf(stderr, "DialogDriver: the program ended during the update\n");
                    break;
                }
                std::wstring now = Text(status);
                if (now != last) {
                    Say("status: ", now);
                    last = now;
                }
                if (StartsWith(now, L"Update success.")) {
                    result = 0;
                    break;
                }
                if (StartsWith(now, L"Update failed.")) {
                    result = 1;
                    break;
                }
                Sleep(50);
            }
            if (result == 2 && GetTickCount() - pressed >= timeoutMs)
                std::fprintf(stderr, "DialogDriver: no final status within %lu s\n", timeoutMs / 1000);
            // The buttons come back once the worker has finished its last step.
            DWORD waitStart = GetTickCount();
            while (result != 2 && !IsWindowEnabled(button) && GetTickCount() - waitStart < 30000)
                Sleep(50);
        }
        if (result != 2)
            Sleep(holdMs);
        PostMessageW(s.dialog, WM_CLOSE, 0, 0);
    }
    if (WaitForSingleObject(pi.hProcess, 15000) == WAIT_TIMEOUT) {
        std::fprintf(stderr, "DialogDriver: the program did not end; stopping it\n");
        TerminateProcess(pi.hProcess, 3);
        if (result == 0)
            result = 2;
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return result;
}
