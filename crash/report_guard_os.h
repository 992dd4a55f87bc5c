// The system-specific pieces of the report guard; none allocates or locks.
#pragma once

namespace tezra::se::detail {

// The watchdog thread's loop (report_guard.cpp).
void WatchdogBody();

// Blocks the watchdog until WakeWatchdog; wakes may be merged.
void WaitForWake();
void WakeWatchdog();
// A short wait (50 ms) between the watchdog's checks of a running report.
void Pause();
void WriteStandardError(const char* text);
// POSIX: default action for the signal `code`, then raises it.
// Windows: ends the process with exit code `code`.
[[noreturn]] void EndProcess(unsigned code);

}  // namespace tezra::se::detail
