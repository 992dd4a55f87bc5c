#include "crash/report_guard.h"

#include <atomic>
#include <chrono>
#include <cstdint>

#include "crash/report_guard_os.h"

namespace tezra::se {

namespace {

std::atomic<int> activeReports{0};
std::atomic<int64_t> deadlineMs{0};
std::atomic<unsigned> pendingCode{0};

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

void NoteReportProgress() { deadlineMs.store(NowMs() + kReportStallSeconds * 1000); }

GuardedReport::GuardedReport(unsigned crashCode) {
  pendingCode.store(crashCode);
  if (activeReports.fetch_add(1) == 0) NoteReportProgress();
  detail::WakeWatchdog();
}

GuardedReport::~GuardedReport() {
  // A report that waited for another one gets a full allowance of its own.
  if (activeReports.fetch_sub(1) > 1) NoteReportProgress();
}

namespace detail {

void WatchdogBody() {
  for (;;) {
    WaitForWake();
    while (activeReports.load() > 0) {
      if (NowMs() >= deadlineMs.load()) {
        WriteStandardError("Crash report did not finish in time; the process ends.\n");
        EndProcess(pendingCode.load());
      }
      Pause();
    }
  }
}

}  // namespace detail

void EndAfterFailedReport(unsigned crashCode) {
  detail::WriteStandardError("Crash report failed: a fault inside the report.\n");
  detail::EndProcess(crashCode);
}

}  // namespace tezra::se
