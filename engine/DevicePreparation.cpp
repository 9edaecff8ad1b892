#include "engine/Engine.h"
#include "engine/PhaseFrame.h"

#include <cstring>
#include <memory>

namespace vu {

namespace {

bool ProbeMachine(CMachineLink& link, IWorkerWindow* window)
{
    if (link.Open() != 0)
        return false;
    if (link.EnterBios() != 0)
        return false;
    link.System().Sleep(1000);
    uint8_t id[8] = {};
    if (link.GetDeviceId(id) != 0)
        return false;
    uint8_t text[255] = {};
    if (link.ReadInfoItem(1, text) != 0)
        return false;
    window->SetItemText(IDC_DEVICE_INFO_1, TextUpToZero(text, sizeof text));
    std::memset(text, 0, sizeof text);
    if (link.ReadInfoItem(6, text) != 0)
        return false;
    window->SetItemText(IDC_DEVICE_INFO_2, TextUpToZero(text, sizeof text));
    return true;
}

} // namespace

bool PrepareDevice(IWorkerWindow* window)
{
    const EngineContext& context = window->Context();
    auto link = std::make_unique<CMachineLink>(context.driver, context.system, LINK_STANDARD_BAUD);
    bool passed = ProbeMachine(*link, window);
    link->ResetMachine(); // the machine leaves the boot loader whatever happened
    link->Close();
    return passed;
}

} // namespace vu
