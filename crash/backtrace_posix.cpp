#include "crash/backtrace_posix.h"

#include <backtrace.h>

namespace tezra::callstack {

namespace {

void IgnoreError(void*, const char*, int) {}

// libbacktrace states cannot be freed; this one lives for the process.
backtrace_state* const state = backtrace_create_state(nullptr, 1, &IgnoreError, nullptr);

}  // namespace

backtrace_state* BacktraceState() { return state; }

}  // namespace tezra::callstack
