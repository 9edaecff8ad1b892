#include "platform/Console.h"

#include <csignal>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

namespace vu {

namespace {

InterruptHandler g_handler = nullptr;

void OnSigint(int)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (g_handler)
        g_handler(uint64_t(now.tv_sec) * 1000 + uint64_t(now.tv_nsec) / 1000000);
}

} // namespace

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }

void UseUtf8ConsoleOutput() {}

void SetInterruptHandler(InterruptHandler handler)
{
    g_handler = handler;
    struct sigaction action {};
    action.sa_handler = OnSigint;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART; // a read or sleep of the worker goes on after the handler
    sigaction(SIGINT, &action, nullptr);
}

void WriteToStandardError(const char* text)
{
    ssize_t ignored = write(STDERR_FILENO, text, strlen(text));
    (void)ignored;
}

void EndProcessNow(int exitCode) { _exit(exitCode); }

std::thread StartThreadWithoutInterrupts(std::function<void()> fn)
{
    // The new thread inherits the mask in force while it is made.
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    std::thread thread(std::move(fn));
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return thread;
}

} // namespace vu
