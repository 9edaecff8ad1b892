#include "engine/Engine.h"
#include "engine/PhaseFrame.h"
#include "log/Format.h"

namespace vu {

namespace {

std::wstring ElapsedLine(IWorkerWindow* window, const wchar_t* format, uint32_t startTick)
{
    uint32_t s = SecondsSince(window->Context().system, startTick);
    return Format(format, int(s / 60), int(s % 60)); // minutes are not wrapped at 60
}

} // namespace

void SuccessEnding(IWorkerWindow* window, uint32_t startTick, const wchar_t* format)
{
    ISystemServices& system = window->Context().system;
    window->SetProgressPos(0);
    window->ShowStatus(ElapsedLine(window, format, startTick));
    window->ReportOutcome(true);
    system.Beep(600, 200);
    system.Sleep(200);
    system.Beep(600, 200);
}

void FailureEnding(IWorkerWindow* window, uint32_t startTick, const wchar_t* format)
{
    ISystemServices& system = window->Context().system;
    int position = window->GetProgressPos();
    std::wstring message = ElapsedLine(window, format, startTick);
    window->ShowStatus(message);
    window->ReportOutcome(false);
    for (int k = position; k >= 0; --k) {
        system.Sleep(5);
        window->SetProgressPos(k);
        window->ShowStatus(message);
    }
}

namespace {

bool ShortRoad(IWorkerWindow* window, uint32_t startTick)
{
    ISystemServices& system = window->Context().system;
    system.Sleep(1000);
    if (!RunFirmwarePhase(window, startTick))
        return false;
    system.Sleep(1000);
    return RunDataPhase(window, startTick, 40);
}

bool LongRoad(IWorkerWindow* window, uint32_t startTick)
{
    ISystemServices& system = window->Context().system;
    if (!RunCardPhase(window, startTick, 10))
        return false;
    system.Sleep(2000);
    if (!RunPlaybackPhase(window, startTick))
        return false;
    for (int i = 0; i <= 19; ++i) {
        window->ShowStatus(
            Format(L"*** Please do NOT power off, wait for machine enter main interface(no picture) ***  ( %d )", i));
        system.Sleep(1000);
    }
    return RunDataPhase(window, startTick, 70);
}

} // namespace

unsigned UpdateThread(IWorkerWindow* window)
{
    uint32_t startTick = window->Context().system.TickCount();
    EnableCommandButtons(window, false);
    window->ShowStatus(L"Prepare to update...");
    // A machine that fails the probe takes the long road, which restores it first.
    bool updated = PrepareDevice(window) ? ShortRoad(window, startTick) : LongRoad(window, startTick);
    if (updated)
        SuccessEnding(window, startTick, L"Update success. (%d m %d s) ");
    else
        FailureEnding(window, startTick, L"Update failed. (%d m %d s) ");
    EnableCommandButtons(window, true);
    return 0;
}

} // namespace vu
