// Keeps a crash report from hurting the process it reports on: a report that
// has made no progress for kReportStallSeconds (a fault with the allocator's
// or a log's lock held, for one) and a fault inside a report both end the
// process, after one line on standard error, with the fault's own
// crash exit (death by the signal on POSIX, the exception code as exit code
// on Windows). What the report wrote until then stays in the errors log.
#pragma once

namespace tezra::se {

// Loading the symbols of one large module may take seconds (under Wine).
constexpr int kReportStallSeconds = 10;

// Starts the guard's watchdog thread once for the process. Called by both
// installers, before any fault can be reported.
void StartReportGuard();

// A report line was written: the running reports get a full allowance again.
// Safe to call from any thread, also without a report.
void NoteReportProgress();

// Bounds one report for its lifetime. `crashCode` is how the process ends if
// the report stalls: the signal number on POSIX, the
// exception code on Windows. Safe to use on a faulting thread (no
// allocation, no lock).
class GuardedReport {
 public:
  explicit GuardedReport(unsigned crashCode);
  ~GuardedReport();
  GuardedReport(const GuardedReport&) = delete;
  GuardedReport& operator=(const GuardedReport&) = delete;
};

// Writes "Crash report failed: a fault inside the report." to standard error
// and ends the process with `crashCode`. For the fault handlers when a fault
// happens while the same thread writes a report.
[[noreturn]] void EndAfterFailedReport(unsigned crashCode);

}  // namespace tezra::se
