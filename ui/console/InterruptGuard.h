// Ctrl+C while the machine is being written: stopping then can leave the
// machine without firmware or data, so the first press only warns and a
// second one within a few seconds stops the tool.
#pragma once

#include <atomic>
#include <cstdint>

namespace vu {

class CInterruptGuard {
public:
    static constexpr uint64_t CONFIRM_MS = 5000;
    static constexpr int EXIT_INTERRUPTED = 130;

    enum class Action { Exit, Warn };

    // Lock-free, so a signal handler may call it.
    Action OnInterrupt(uint64_t nowMs);
    void SetWriting(bool writing);
    bool Writing() const { return m_bWriting.load(); }

private:
    std::atomic<bool> m_bWriting{false};
    std::atomic<bool> m_bWarned{false};
    std::atomic<uint64_t> m_warnedAtMs{0};
};

// The guard the process's interrupt handler consults.
CInterruptGuard& InterruptGuard();

// Installs the handler for Ctrl+C (SIGINT, or the console's control event).
void InstallInterruptHandler();

extern const char* const INTERRUPT_WARNING;

} // namespace vu
