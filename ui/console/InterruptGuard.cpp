#include "ui/console/InterruptGuard.h"

#include "platform/Console.h"

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

void OnInterrupt(uint64_t nowMs)
{
    if (InterruptGuard().OnInterrupt(nowMs) == CInterruptGuard::Action::Warn) {
        WriteToStandardError(INTERRUPT_WARNING);
        return;
    }
    WriteToStandardError(STOPPED);
    EndProcessNow(CInterruptGuard::EXIT_INTERRUPTED);
}

} // namespace

void InstallInterruptHandler() { SetInterruptHandler(OnInterrupt); }

} // namespace vu
