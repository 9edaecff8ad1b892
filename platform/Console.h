// What a console program needs of the system: the terminal test, UTF-8
// output, and Ctrl+C with the few calls that are safe while it is handled.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <thread>

namespace vu {

// The stream is a terminal (so a line may be rewritten in place).
bool IsTerminal(std::FILE* stream);

// Text written to the console is UTF-8 (Windows sets the console's output
// code page; elsewhere there is nothing to do).
void UseUtf8ConsoleOutput();

// Ctrl+C (SIGINT, or the console's Ctrl+C and Ctrl+Break events) calls
// handler with a monotonic time in milliseconds. It runs as a signal handler
// or on a thread of the system's: lock-free work, WriteToStandardError and
// EndProcessNow only. When it returns, the program goes on.
using InterruptHandler = void (*)(uint64_t nowMs);
void SetInterruptHandler(InterruptHandler handler);
void WriteToStandardError(const char* text);
[[noreturn]] void EndProcessNow(int exitCode);

// Starts fn on a thread that Ctrl+C never interrupts, so the interrupt
// reaches the handler and never cuts a read or a wait of fn short.
std::thread StartThreadWithoutInterrupts(std::function<void()> fn);

} // namespace vu
