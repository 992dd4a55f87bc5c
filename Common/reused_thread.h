// Runs on threads that outlive their work: a thread whose run has ended
// parks for the next run with the same stack size instead of ending, so
// that short-lived workers (the pumps of a relayed connection) do not pay
// for a thread's creation, its stack and its per-thread set-up each time.
// One process-wide set of parked threads; at most kMaxParked park at once,
// and one more ends when its run ends, as does one parked for 5 seconds
// without a run. Parked threads are detached and never joined: those left
// end with the process.
#pragma once

#include <cstddef>
#include <memory>

namespace libmo {

class ReusedThread {
 public:
  using Entry = void (*)(void* arg);
  static constexpr size_t kMaxParked = 64;

  ReusedThread() = default;
  // Destroying or overwriting a handle whose run was not joined ends the
  // process, as for std::thread.
  ~ReusedThread();
  ReusedThread(ReusedThread&& other) noexcept = default;
  ReusedThread& operator=(ReusedThread&& other) noexcept;

  // Runs entry(arg) on a parked thread whose stack holds `stackBytes` (0:
  // the platform's default), or on a new one when none is parked. Throws
  // std::system_error when the system refuses a new thread; nothing is left
  // behind then (no run, no parked thread taken), and a later Start may
  // succeed.
  static ReusedThread Start(Entry entry, void* arg, size_t stackBytes);

  // Threads parked now, waiting for a run. Safe to call from any thread.
  static size_t ParkedCount();

  bool Joinable() const { return run_ != nullptr; }

  // Waits for the run to end (its thread goes on, parked). Throws
  // std::system_error (resource_deadlock_would_occur) when called from the
  // run itself. REQUIRES: Joinable().
  void Join();

  struct Run;

 private:
  std::shared_ptr<Run> run_;
};

}  // namespace libmo
