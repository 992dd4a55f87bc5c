// The stack walker's debug library on POSIX: one libbacktrace state for the
// process, created during static initialisation (it reads the debug
// information lazily, at the first lookup).
#pragma once

struct backtrace_state;

namespace tezra::callstack {

// The state; null when libbacktrace could not start.
backtrace_state* BacktraceState();

}  // namespace tezra::callstack
