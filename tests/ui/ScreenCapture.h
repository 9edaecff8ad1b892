// A picture of a window as it stands on the screen, saved as PNG, so that a
// person can look at what a test saw.
#pragma once

#include <windows.h>

#include <string>

namespace vu::test {

// Writes what the screen shows of hWnd's client area to path; false on failure.
bool SaveWindowPng(HWND hWnd, const std::wstring& path);

} // namespace vu::test
