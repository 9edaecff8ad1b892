#include "ui/console/ConsoleApp.h"
#include "ui/console/InterruptGuard.h"

#include <cstdio>
#include <iostream>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

int main(int argc, char** argv)
{
#ifdef _WIN32
    SetConsoleOutputCP(CP_UTF8);
#endif
    vu::InstallInterruptHandler();
    return vu::RunConsole(argc, argv, std::cout, std::cerr, isatty(fileno(stdout)) != 0);
}
