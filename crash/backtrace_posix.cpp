#include "crash/backtrace_posix.h"

#include <backtrace.h>

#include <atomic>

namespace tezra::callstack {

namespace {

void IgnoreError(void*, const char*, int) {}

// libbacktrace states cannot be freed; this one lives for the process.
backtrace_state* const startupState = backtrace_create_state(nullptr, 1, &IgnoreError, nullptr);
std::atomic<backtrace_state*> currentState{startupState};

}  // namespace

backtrace_state* BacktraceState() { return currentState.load(); }
backtrace_state* StartupBacktraceState() { return startupState; }
void UseBacktraceState(backtrace_state* state) { currentState.store(state); }

}  // namespace tezra::callstack
