// Internal hooks of the crash diagnostics, for their tests; the connector
// never calls them.
#pragma once

#include <mutex>

namespace tezra::hooks {

// Switches the stack walker's debug library off (false: a walk writes only
// its initialisation error line) or on again (true, the default).
void SetDebugLibraryEnabled(bool enabled);

// The lock that every crash report holds while it writes. A thread that
// holds it keeps every report from finishing.
std::recursive_mutex& ReportLock();

}  // namespace tezra::hooks
