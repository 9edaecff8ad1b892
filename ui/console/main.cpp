#include "engine/EngineContext.h"
#include "platform/Console.h"
#include "ui/console/ConsoleApp.h"
#include "ui/console/InterruptGuard.h"

#include <cstdio>
#include <iostream>

int main(int argc, char** argv)
{
    vu::UseUtf8ConsoleOutput();
    vu::InstallInterruptHandler();
    return vu::RunConsole(argc, argv, std::cout, std::cerr, vu::IsTerminal(stdout), vu::ProcessContext());
}
