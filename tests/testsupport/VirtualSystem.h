// A virtual clock for tests: sleeping advances time at once, and every tick
// read advances it by a small step, so polling loops reach their limits
// without real waiting. Tests pass it to what they test.
#pragma once

#include "platform/Platform.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace vu {

class VirtualSystem : public ISystemServices {
public:
    struct BeepEvent { uint32_t hz, ms; uint64_t atUs; };

    explicit VirtualSystem(uint64_t startUs = 1'000'000'000ull, uint32_t tickStepUs = 1000)
        : m_nowUs(startUs), m_tickStepUs(tickStepUs) {}

    uint32_t TickCount() override {
        uint64_t t = m_nowUs.fetch_add(m_tickStepUs) + m_tickStepUs;
        return static_cast<uint32_t>(t / 1000);
    }
    void Sleep(uint32_t ms) override { m_nowUs += uint64_t(ms) * 1000; m_sleptMs += ms; }
    uint64_t PerformanceCounter() override { return m_nowUs.load(); }
    uint64_t PerformanceFrequency() override { return 1'000'000; }
    LocalTime Now() override {
        uint64_t ms = m_nowUs.load() / 1000;
        LocalTime t{2026, 12, 11, 0, 0, 0, 0};
        t.millisecond = int(ms % 1000);
        t.second = int(ms / 1000 % 60);
        t.minute = int(ms / 60000 % 60);
        t.hour = int(ms / 3600000 % 24);
        return t;
    }
    void Beep(uint32_t hz, uint32_t ms) override {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_beeps.push_back({hz, ms, m_nowUs.load()});
        }
        Sleep(ms);
    }

    // Moves time on without a sleep (a test stepping the clock by hand).
    void Advance(uint64_t us) { m_nowUs += us; }
    uint64_t NowUs() const { return m_nowUs.load(); }
    uint32_t NowMs() const { return static_cast<uint32_t>(m_nowUs.load() / 1000); }
    uint64_t SleptMs() const { return m_sleptMs.load(); }
    void SetTickStepUs(uint32_t us) { m_tickStepUs = us; }
    std::vector<BeepEvent> Beeps() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_beeps;
    }

private:
    std::atomic<uint64_t> m_nowUs;
    std::atomic<uint32_t> m_tickStepUs;
    std::atomic<uint64_t> m_sleptMs{0};
    std::mutex m_lock;
    std::vector<BeepEvent> m_beeps;
};

} // namespace vu
