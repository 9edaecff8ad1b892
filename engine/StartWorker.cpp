#include "engine/WorkerWindow.h"

#include <thread>

namespace vu {

void StartWorker(WorkerProc proc, IWorkerWindow* window)
{
    std::thread([proc, window] { proc(window); }).detach();
}

} // namespace vu
