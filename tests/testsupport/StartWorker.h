// Starts a worker the way a front end does, for the tests of the engine.
#pragma once

#include "engine/WorkerWindow.h"

namespace vu::test {

// Starts proc on a new thread with the window as its only argument and
// returns at once; nothing waits for the thread.
void StartWorker(WorkerProc proc, IWorkerWindow* window);

} // namespace vu::test
