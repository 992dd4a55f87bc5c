// Work handed to threads and joined by its owner. The threads are the
// process's reused ones (Common/reused_thread.h): a thread whose work has
// ended parks for the next work instead of ending, so a busy proxy does not
// pay for a new thread for every connection and session.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "Common/reused_thread.h"

namespace relvoproxy {

class ThreadGroup {
 public:
  ThreadGroup() = default;
  // Joins all work.
  ~ThreadGroup();
  ThreadGroup(const ThreadGroup&) = delete;
  ThreadGroup& operator=(const ThreadGroup&) = delete;

  // Runs `work` on a reused thread with the log tag `tag` (at most 7
  // characters). An exception that escapes `work` is logged and ends only
  // that work. False, with `work` not run, when the system refuses a thread.
  // Safe to call from any thread, also from work of this group.
  bool Spawn(const char* tag, std::function<void()> work);

  // Waits until all work has ended, also work handed over meanwhile. Work
  // may still be handed over afterwards.
  void JoinAll();

 private:
  struct Task;
  static void Entry(void* arg);
  // Joins the runs whose work has ended. REQUIRES: `lock` holds mutex_.
  void Reap(std::unique_lock<std::mutex>& lock);

  std::mutex mutex_;
  std::condition_variable ended_;  // a run moved itself to finished_
  uint64_t nextId_ = 0;                             // guarded by mutex_
  std::map<uint64_t, libmo::ReusedThread> running_;  // guarded by mutex_
  std::vector<libmo::ReusedThread> finished_;        // work ended, not yet joined; guarded by mutex_
};

}  // namespace relvoproxy
