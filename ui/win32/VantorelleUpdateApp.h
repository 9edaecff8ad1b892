// The application object: prepares the common controls, runs the main
// dialog modally and ends the program when it closes.
#pragma once

#include <windows.h>

namespace vu {

class CVantorelleUpdateApp {
public:
    CVantorelleUpdateApp() = default;
    CVantorelleUpdateApp(const CVantorelleUpdateApp&) = delete;
    CVantorelleUpdateApp& operator=(const CVantorelleUpdateApp&) = delete;

    // Runs the whole program; false: there is no message loop after it.
    bool InitInstance(HINSTANCE hInstance);
};

extern CVantorelleUpdateApp theApp;

} // namespace vu
