#include "crash/testing.h"

#include "crash/debug_libraries_win.h"

namespace tezra::callstack::testing {

void MakeDebugLibraryUnavailable() { DebugHelpLibrary().Load({}); }

void RestoreDebugLibrary() { DebugHelpLibrary().Load(DefaultDebugHelpSearchList()); }

}  // namespace tezra::callstack::testing
