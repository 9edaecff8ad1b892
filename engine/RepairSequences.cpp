#include "engine/Engine.h"
#include "engine/PhaseFrame.h"

namespace vu {

namespace {

constexpr uint32_t kHintMs = 3000;

using RepairPhase = bool (*)(IWorkerWindow* window, uint32_t startTick);

unsigned RunRepair(IWorkerWindow* window, RepairPhase phase)
{
    ISystemServices& system = window->Context().system;
    uint32_t startTick = system.TickCount();
    EnableCommandButtons(window, false);
    window->ShowStatus(L"Prepare to update...");
    bool repaired = false;
    if (PrepareDevice(window)) {
        system.Sleep(2000);
        repaired = phase(window, startTick);
    } else {
        // The repairs need a machine that passes the probe: say what to do
        // for a moment before the failure line replaces it.
        window->ShowStatus(L"Please update machine to latest version first.");
        system.Sleep(kHintMs);
    }
    if (repaired)
        SuccessEnding(window, startTick, L"Repair success. (%d m %d s) ");
    else
        FailureEnding(window, startTick, L"Repair failed. (%d m %d s) ");
    EnableCommandButtons(window, true);
    return 0;
}

bool RepairData(IWorkerWindow* window, uint32_t startTick) { return RunDataPhase(window, startTick, 0); }
bool RepairCard(IWorkerWindow* window, uint32_t startTick) { return RunCardPhase(window, startTick, 100); }

} // namespace

unsigned RepairDataThread(IWorkerWindow* window) { return RunRepair(window, RepairData); }

unsigned RepairInternalErrorThread(IWorkerWindow* window) { return RunRepair(window, RepairCard); }

} // namespace vu
