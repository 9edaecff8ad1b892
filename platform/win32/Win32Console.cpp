#include "platform/Console.h"

#include <windows.h>
#include <io.h>

#include <cstring>

namespace vu {

namespace {

InterruptHandler g_handler = nullptr;

BOOL WINAPI OnConsoleControl(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    if (g_handler)
        g_handler(GetTickCount64());
    return TRUE;
}

} // namespace

bool IsTerminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }

void UseUtf8ConsoleOutput() { SetConsoleOutputCP(CP_UTF8); }

void SetInterruptHandler(InterruptHandler handler)
{
    g_handler = handler;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void WriteToStandardError(const char* text)
{
    DWORD written;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, DWORD(strlen(text)), &written, nullptr);
}

void EndProcessNow(int exitCode) { ExitProcess(UINT(exitCode)); }

// Control events arrive on a thread of the system's own: no worker is cut short.
std::thread StartThreadWithoutInterrupts(std::function<void()> fn) { return std::thread(std::move(fn)); }

} // namespace vu
