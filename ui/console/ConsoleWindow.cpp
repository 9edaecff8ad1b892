#include "ui/console/ConsoleWindow.h"

#include "engine/Engine.h"

#include <algorithm>
#include <cwctype>

namespace vu {

namespace {

// The text with its digits left out: two statuses of the same shape differ
// only in their counts and times.
std::wstring Shape(const std::wstring& text)
{
    std::wstring shape;
    for (wchar_t c : text)
        if (c < L'0' || c > L'9')
            shape.push_back(c);
    return shape;
}

std::string Bar(int position)
{
    const int cells = 30;
    int full = position * cells / 100;
    std::string bar = " [";
    bar.append(size_t(full), '#');
    bar.append(size_t(cells - full), '.');
    bar += "] " + std::to_string(position) + "%";
    return bar;
}

void AppendUtf8(std::string& out, uint32_t c)
{
    if (c < 0x80) {
        out.push_back(char(c));
    } else if (c < 0x800) {
        out.push_back(char(0xC0 | c >> 6));
        out.push_back(char(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(char(0xE0 | c >> 12));
        out.push_back(char(0x80 | (c >> 6 & 0x3F)));
        out.push_back(char(0x80 | (c & 0x3F)));
    } else {
        out.push_back(char(0xF0 | c >> 18));
        out.push_back(char(0x80 | (c >> 12 & 0x3F)));
        out.push_back(char(0x80 | (c >> 6 & 0x3F)));
        out.push_back(char(0x80 | (c & 0x3F)));
    }
}

} // namespace

std::string ConsoleText(const std::wstring& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = uint32_t(text[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && uint32_t(text[i + 1]) >= 0xDC00
            && uint32_t(text[i + 1]) <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (uint32_t(text[++i]) - 0xDC00);
        } else if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
            c = '?';
        }
        if ((c < 0x20 && c != '\n' && c != '\t') || (c >= 0x7F && c < 0xA0))
            c = '?';
        AppendUtf8(out, c);
    }
    return out;
}

void CConsoleWindow::ShowStatus(std::wstring text)
{
    std::lock_guard<std::mutex> lock(m_lock);
    // The failure ending sets the same line once per step of the bar's run back.
    if (text == m_status)
        return;
    std::wstring previous = m_status;
    m_status = text;
    if (text.empty()) {
        EndLiveLine();
        return;
    }
    m_lastNonEmpty = text;
    if (!m_bTerminal) {
        m_out << ConsoleText(text);
        if (IsElapsedTimeStatus(text))
            m_out << " (" << m_nPosition << "%)";
        m_out << "\n" << std::flush;
        return;
    }
    if (!(m_bLive && Shape(text) == Shape(previous)))
        EndLiveLine();
    DrawLiveLine();
}

void CConsoleWindow::SetProgressPos(int position)
{
    std::lock_guard<std::mutex> lock(m_lock);
    // As the progress bar does: a position outside the range is held at its end.
    position = std::clamp(position, 0, 100);
    if (position == m_nPosition)
        return;
    m_nPosition = position;
    if (m_bTerminal && m_bLive && IsElapsedTimeStatus(m_status))
        DrawLiveLine();
}

int CConsoleWindow::GetProgressPos()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_nPosition;
}

void CConsoleWindow::EnableItem(int id, bool enable)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (id == IDC_UPDATE_ONLINE || id == IDC_MENU_BUTTON)
        m_bEnabled[id == IDC_MENU_BUTTON] = enable;
}

void CConsoleWindow::SetItemText(int id, std::wstring text)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (id == IDC_UPDATE_LOG) {
        if (text == m_notes)
            return;
        m_notes = text;
        EndLiveLine();
        m_out << "Update notes:\n";
        std::wstring lines = text;
        lines.erase(std::remove(lines.begin(), lines.end(), L'\r'), lines.end());
        std::string notes = ConsoleText(lines);
        size_t start = 0;
        while (start < notes.size()) {
            size_t end = notes.find('\n', start);
            if (end == std::string::npos)
                end = notes.size();
            m_out << "  " << notes.substr(start, end - start) << "\n";
            start = end + 1;
        }
        m_out << std::flush;
    } else if (id == IDC_DEVICE_INFO_1 || id == IDC_DEVICE_INFO_2) {
        std::wstring& shown = m_info[id == IDC_DEVICE_INFO_2];
        if (text == shown)
            return;
        shown = text;
        EndLiveLine();
        m_out << "Machine information " << (id == IDC_DEVICE_INFO_1 ? 1 : 2) << ": " << ConsoleText(text) << "\n"
              << std::flush;
    }
}

void CConsoleWindow::ReportOutcome(bool succeeded)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_bSucceeded = succeeded;
}

bool CConsoleWindow::Succeeded()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_bSucceeded;
}

void CConsoleWindow::Finish()
{
    std::lock_guard<std::mutex> lock(m_lock);
    EndLiveLine();
}

std::wstring CConsoleWindow::LastStatus()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_lastNonEmpty;
}

bool CConsoleWindow::ButtonsEnabled()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_bEnabled[0] && m_bEnabled[1];
}

void CConsoleWindow::EndLiveLine()
{
    if (!m_bLive)
        return;
    m_out << "\n" << std::flush;
    m_bLive = false;
    m_nLiveWidth = 0;
}

void CConsoleWindow::DrawLiveLine()
{
    std::string line = ConsoleText(m_status);
    if (IsElapsedTimeStatus(m_status))
        line += Bar(m_nPosition);
    size_t width = line.size();
    if (width < m_nLiveWidth)
        line.append(m_nLiveWidth - width, ' '); // blank what a longer old line left
    m_out << "\r" << line << std::flush;
    m_bLive = true;
    m_nLiveWidth = std::max(width, m_nLiveWidth);
}

} // namespace vu
