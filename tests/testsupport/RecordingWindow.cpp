#include "tests/testsupport/RecordingWindow.h"

#include "tests/testsupport/VirtualSystem.h"

#include <algorithm>

namespace vu::test {

RecordingWindow::RecordingWindow(const EngineContext& context, const VirtualSystem* clock)
    : m_context(context), m_clock(clock), m_start(std::chrono::steady_clock::now())
{
}

uint64_t RecordingWindow::NowMs() const
{
    if (m_clock)
        return m_clock->NowUs() / 1000;
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m_start)
                        .count());
}

void RecordingWindow::Add(Event e)
{
    // Notified under the lock, so a waiter that then destroys the window
    // never races the worker still inside this call.
    std::lock_guard<std::mutex> lock(m_lock);
    e.atMs = NowMs();
    switch (e.kind) {
    case Kind::Status: m_status = e.text; break;
    case Kind::SetProgress: m_position = std::clamp(e.value, 0, 100); break; // as the bar does
    case Kind::Enable: m_enabled[e.id] = e.value != 0; break;
    case Kind::Text: m_texts[e.id] = e.text; break;
    case Kind::GetProgress: break;
    }
    m_events.push_back(std::move(e));
    m_changed.notify_all();
}

void RecordingWindow::ShowStatus(std::wstring text) { Add({Kind::Status, IDC_STATUS, 0, std::move(text), 0}); }

void RecordingWindow::SetProgressPos(int position)
{
    Add({Kind::SetProgress, IDC_PROGRESS, position, {}, 0}); // recorded as asked, so tests see strays
}

int RecordingWindow::GetProgressPos()
{
    int position;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        position = m_position;
    }
    Add({Kind::GetProgress, IDC_PROGRESS, position, {}, 0});
    return position;
}

void RecordingWindow::EnableItem(int id, bool enable) { Add({Kind::Enable, id, enable ? 1 : 0, {}, 0}); }

void RecordingWindow::SetItemText(int id, std::wstring text) { Add({Kind::Text, id, 0, std::move(text), 0}); }

// Kept apart from the events: the display's record stays what the window shows.
void RecordingWindow::ReportOutcome(bool succeeded)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_outcomes.push_back(succeeded);
}

std::vector<bool> RecordingWindow::Outcomes() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_outcomes;
}

std::vector<RecordingWindow::Event> RecordingWindow::Events() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_events;
}

std::vector<RecordingWindow::Event> RecordingWindow::Events(Kind kind) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<Event> out;
    for (const Event& e : m_events)
        if (e.kind == kind)
            out.push_back(e);
    return out;
}

std::vector<std::wstring> RecordingWindow::Statuses() const
{
    std::vector<std::wstring> out;
    for (const Event& e : Events(Kind::Status))
        out.push_back(e.text);
    return out;
}

std::vector<int> RecordingWindow::Positions() const
{
    std::vector<int> out;
    for (const Event& e : Events(Kind::SetProgress))
        out.push_back(e.value);
    return out;
}

std::vector<int> RecordingWindow::DistinctPositions() const
{
    std::vector<int> out = Positions();
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

std::wstring RecordingWindow::Status() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_status;
}

int RecordingWindow::Position() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_position;
}

bool RecordingWindow::Enabled(int id) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_enabled.find(id);
    return it == m_enabled.end() || it->second;
}

std::wstring RecordingWindow::Text(int id) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_texts.find(id);
    return it == m_texts.end() ? std::wstring() : it->second;
}

size_t RecordingWindow::TextChanges(int id) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return size_t(std::count_if(m_events.begin(), m_events.end(),
                                [id](const Event& e) { return e.kind == Kind::Text && e.id == id; }));
}

int RecordingWindow::StatusIndex(const std::wstring& text, size_t from) const
{
    std::vector<std::wstring> statuses = Statuses();
    for (size_t i = from; i < statuses.size(); ++i)
        if (statuses[i] == text)
            return int(i);
    return -1;
}

uint64_t RecordingWindow::StatusTime(const std::wstring& text) const
{
    for (const Event& e : Events(Kind::Status))
        if (e.text == text)
            return e.atMs;
    return UINT64_MAX;
}

bool RecordingWindow::WaitUntil(const std::function<bool(const RecordingWindow&)>& pred,
                                std::chrono::milliseconds limit) const
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    std::unique_lock<std::mutex> lock(m_lock);
    while (true) {
        lock.unlock();
        bool done = pred(*this);
        lock.lock();
        if (done)
            return true;
        if (m_changed.wait_until(lock, deadline) == std::cv_status::timeout) {
            lock.unlock();
            return pred(*this);
        }
    }
}

bool RecordingWindow::WaitForWorkerEnd(std::chrono::milliseconds limit) const
{
    return WaitUntil(
        [](const RecordingWindow& w) {
            bool disabled = false;
            for (const Event& e : w.Events(Kind::Enable)) {
                if (e.value == 0)
                    disabled = true;
                else if (disabled && e.id == IDC_MENU_BUTTON)
                    return true;
            }
            return false;
        },
        limit);
}

void RecordingWindow::PresetPosition(int position)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_position = position;
}

} // namespace vu::test
