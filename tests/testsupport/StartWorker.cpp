#include "tests/testsupport/StartWorker.h"

#include <thread>

namespace vu::test {

void StartWorker(WorkerProc proc, IWorkerWindow* window)
{
    std::thread([proc, window] { proc(window); }).detach();
}

} // namespace vu::test
