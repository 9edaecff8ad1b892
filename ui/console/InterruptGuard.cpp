#include "ui/console/InterruptGuard.h"

#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <ctime>
#include <unistd.h>
#endif

namespace vu {

const char* const INTERRUPT_WARNING =
    "\nThe machine is being written. Stopping now may leave it unusable: let the update finish.\n"
    "Press Ctrl+C again within 5 seconds to stop anyway.\n";

CInterruptGuard::Action CInterruptGuard::OnInterrupt(uint64_t nowMs)
{
    if (!m_bWriting.load())
        return Action::Exit;
    if (m_bWarned.load() && nowMs - m_warnedAtMs.load() <= CONFIRM_MS)
        return Action::Exit;
    m_warnedAtMs.store(nowMs);
    m_bWarned.store(true);
    return Action::Warn;
}

void CInterruptGuard::SetWriting(bool writing)
{
    m_bWriting.store(writing);
    m_bWarned.store(false);
}

CInterruptGuard& InterruptGuard()
{
    static CInterruptGuard guard;
    return guard;
}

namespace {

const char* const STOPPED = "\nStopped.\n";

#ifdef _WIN32
void WriteError(const char* text)
{
    DWORD written;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, DWORD(strlen(text)), &written, nullptr);
}

BOOL WINAPI OnConsoleControl(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    if (InterruptGuard().OnInterrupt(GetTickCount64()) == CInterruptGuard::Action::Warn) {
        WriteError(INTERRUPT_WARNING);
        return TRUE;
    }
    WriteError(STOPPED);
    ExitProcess(CInterruptGuard::EXIT_INTERRUPTED);
}
#else
void WriteError(const char* text)
{
    ssize_t ignored = write(STDERR_FILENO, text, strlen(text));
    (void)ignored;
}

void OnSigint(int)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms = uint64_t(now.tv_sec) * 1000 + uint64_t(now.tv_nsec) / 1000000;
    if (InterruptGuard().OnInterrupt(ms) == CInterruptGuard::Action::Warn) {
        WriteError(INTERRUPT_WARNING);
        return;
    }
    WriteError(STOPPED);
    _exit(CInterruptGuard::EXIT_INTERRUPTED);
}
#endif

} // namespace

void InstallInterruptHandler()
{
#ifdef _WIN32
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
#else
    struct sigaction action {};
    action.sa_handler = OnSigint;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART; // a read or sleep of the worker goes on after the warning
    sigaction(SIGINT, &action, nullptr);
#endif
}

} // namespace vu
