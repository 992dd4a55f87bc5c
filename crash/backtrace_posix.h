// The stack walker's debug library on POSIX: one libbacktrace state for the
// process, created during static initialisation (it reads the debug
// information lazily, at the first lookup).
#pragma once

struct backtrace_state;

namespace tezra::callstack {

// The state in use; null when libbacktrace is unavailable.
backtrace_state* BacktraceState();

// The state created at start-up (null when libbacktrace could not start).
backtrace_state* StartupBacktraceState();

// Replaces the state in use; null makes the debug library unavailable.
void UseBacktraceState(backtrace_state* state);

}  // namespace tezra::callstack
