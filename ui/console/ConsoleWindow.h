// The console's stand-in for the main window: what the workers report is
// written as text. On a terminal a line that only counts on (the elapsed
// time, the restart wait) is rewritten in place, the elapsed-time line with a
// progress bar; elsewhere every new status is a plain line of its own.
#pragma once

#include "engine/WorkerWindow.h"

#include <mutex>
#include <ostream>
#include <string>

namespace vu {

class CConsoleWindow : public IWorkerWindow {
public:
    // context: what the workers run with; nullptr, the process's own.
    CConsoleWindow(std::ostream& out, bool terminal, const EngineContext* context = nullptr)
        : m_out(out), m_bTerminal(terminal), m_pContext(context)
    {
    }

    void ShowStatus(std::wstring text) override;
    void SetProgressPos(int position) override;
    int GetProgressPos() override;
    void EnableItem(int id, bool enable) override;
    void SetItemText(int id, std::wstring text) override;
    const EngineContext& Context() override { return m_pContext ? *m_pContext : ProcessContext(); }
    void ReportOutcome(bool succeeded) override;

    // Ends a line that is still open for rewriting.
    void Finish();
    std::wstring LastStatus();
    bool ButtonsEnabled();
    // What the last worker reported of its sequence; false before any report.
    bool Succeeded();

private:
    void EndLiveLine();
    void DrawLiveLine();

    std::mutex m_lock;
    std::ostream& m_out;
    bool m_bTerminal;
    const EngineContext* m_pContext;
    bool m_bSucceeded = false;
    std::wstring m_status;       // the last status text shown
    std::wstring m_lastNonEmpty; // the last status that was not a clearing
    bool m_bLive = false;        // a terminal line that the next step may rewrite
    size_t m_nLiveWidth = 0;     // characters of that line, to blank a longer old one
    int m_nPosition = 0;
    std::wstring m_notes;
    std::wstring m_info[2];
    bool m_bEnabled[2] = {true, true};
};

// Text as UTF-8, with control characters other than line feed and tab shown
// as '?': texts from the machine and the server must not steer the terminal.
std::string ConsoleText(const std::wstring& text);

} // namespace vu
