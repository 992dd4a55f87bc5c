#include "crash/testing.h"

#include "crash/backtrace_posix.h"

namespace tezra::callstack::testing {

void MakeDebugLibraryUnavailable() { UseBacktraceState(nullptr); }

void RestoreDebugLibrary() { UseBacktraceState(StartupBacktraceState()); }

}  // namespace tezra::callstack::testing
