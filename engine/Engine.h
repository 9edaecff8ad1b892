// The worker sequences behind the window's commands and the phases they chain.
#pragma once

#include "engine/WorkerWindow.h"

#include <cstdint>

namespace vu {

extern const wchar_t* const TOOL_VERSION_TEXT; // L"1.4.1"

bool PrepareDevice(IWorkerWindow* window);

unsigned VersionInfoThread(IWorkerWindow* window);
bool GetVersionInfo(IWorkerWindow* window);

bool RunPlaybackPhase(IWorkerWindow* window, uint32_t startTick);
bool RunFirmwarePhase(IWorkerWindow* window, uint32_t startTick);
bool RunDataPhase(IWorkerWindow* window, uint32_t startTick, int progressBase);
bool RunCardPhase(IWorkerWindow* window, uint32_t startTick, int progressTop);

unsigned UpdateThread(IWorkerWindow* window);
unsigned RepairDataThread(IWorkerWindow* window);
unsigned RepairInternalErrorThread(IWorkerWindow* window);

} // namespace vu
