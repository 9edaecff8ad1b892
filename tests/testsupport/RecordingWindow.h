// A worker window for tests: keeps every status text, progress position,
// button state and display text, each with the time it arrived, answers
// GetProgressPos with the last position set, and gives the workers the
// test's context. Safe to use from a worker thread while the test thread
// reads it.
#pragma once

#include "engine/WorkerWindow.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace vu {
class VirtualSystem;
}

namespace vu::test {

class RecordingWindow : public IWorkerWindow {
public:
    enum class Kind { Status, SetProgress, GetProgress, Enable, Text };

    struct Event {
        Kind kind;
        int id;            // control id (IDC_STATUS, IDC_PROGRESS, ...)
        int value;         // position, or 1/0 for enable/disable
        std::wstring text; // status or display text
        uint64_t atMs;     // virtual (or real) milliseconds
    };

    // With a virtual clock, times are its milliseconds (read without
    // advancing it); without one, real milliseconds since construction.
    explicit RecordingWindow(const EngineContext& context, const VirtualSystem* clock = nullptr);

    void ShowStatus(std::wstring text) override;
    void SetProgressPos(int position) override;
    int GetProgressPos() override;
    void EnableItem(int id, bool enable) override;
    void SetItemText(int id, std::wstring text) override;
    const EngineContext& Context() override { return m_context; }
    void ReportOutcome(bool succeeded) override;

    std::vector<Event> Events() const;
    std::vector<Event> Events(Kind kind) const;
    std::vector<std::wstring> Statuses() const;         // every status text, in order
    std::vector<int> Positions() const;                  // every position set, in order
    // Positions with consecutive repeats folded into one.
    std::vector<int> DistinctPositions() const;

    std::wstring Status() const;                          // the status line now
    int Position() const;                                 // the bar now
    bool Enabled(int id) const;                           // a button now (true before any call)
    std::wstring Text(int id) const;                      // a display text now (empty before any call)
    size_t TextChanges(int id) const;                     // how often a display text was set

    // Index of the first status equal to text at or after from, or -1.
    int StatusIndex(const std::wstring& text, size_t from = 0) const;
    // Time of the first status event equal to text, or UINT64_MAX.
    uint64_t StatusTime(const std::wstring& text) const;

    // Waits (in real time) until pred holds, checked after every event.
    bool WaitUntil(const std::function<bool(const RecordingWindow&)>& pred,
                   std::chrono::milliseconds limit) const;
    // Waits until both command buttons were disabled and enabled again.
    bool WaitForWorkerEnd(std::chrono::milliseconds limit) const;

    // Sets the bar without recording, as a previous sequence would have left it.
    void PresetPosition(int position);

    // Every outcome the workers reported, in order.
    std::vector<bool> Outcomes() const;

private:
    void Add(Event e);
    uint64_t NowMs() const;

    const EngineContext& m_context;
    const VirtualSystem* m_clock;
    std::chrono::steady_clock::time_point m_start;
    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    std::vector<Event> m_events;
    std::wstring m_status;
    int m_position = 0;
    std::map<int, bool> m_enabled;
    std::map<int, std::wstring> m_texts;
    std::vector<bool> m_outcomes;
};

} // namespace vu::test
