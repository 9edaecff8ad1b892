// The worker sequences behind the window's commands and the phases they chain.
// Each reaches the machine, the clock and the server through what its window's
// Context() gives.
#pragma once

#include "engine/WorkerWindow.h"

#include <cstdint>
#include <string>

namespace vu {

// The status a phase shows as its transfer goes on, with the minutes and
// seconds since the sequence started.
extern const wchar_t* const ELAPSED_STATUS_FORMAT; // "Updating, elapsed time: %d m %d s"
// A status text made from ELAPSED_STATUS_FORMAT.
bool IsElapsedTimeStatus(const std::wstring& text);

// Writes "TAVRIN Automatic Key Cutting Machine V%s start" with the tool's
// version to the log: the first line of every run, before any worker.
void WriteStartLine();

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
