// Threads that end on their own, joined by their owner.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace relvoproxy {

class ThreadGroup {
 public:
  ThreadGroup() = default;
  // Joins every thread.
  ~ThreadGroup();
  ThreadGroup(const ThreadGroup&) = delete;
  ThreadGroup& operator=(const ThreadGroup&) = delete;

  // Runs `work` on a new thread with the log tag `tag` (at most 7
  // characters). An exception that escapes `work` is logged and ends only
  // that thread. False, with `work` not run, when the system refuses a
  // thread. Also joins the threads that have ended since the last call.
  bool Spawn(const char* tag, std::function<void()> work);

  // Waits until every thread has ended, also those started meanwhile.
  void JoinAll();

  // Threads started and not yet joined.
  size_t Size() const;

 private:
  struct Member {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  mutable std::mutex mutex_;
  std::list<Member> members_;
};

}  // namespace relvoproxy
