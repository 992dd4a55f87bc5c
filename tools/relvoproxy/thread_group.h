// Threads that run work handed to them, joined by their owner. A thread
// whose work has ended waits for the next work instead of ending, so a busy
// proxy does not pay for a new thread for every connection and session.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>

namespace relvoproxy {

class ThreadGroup {
 public:
  // Most threads kept waiting for work; one more ends when its work ends.
  static constexpr size_t kMaxIdle = 64;

  ThreadGroup() = default;
  // Joins every thread.
  ~ThreadGroup();
  ThreadGroup(const ThreadGroup&) = delete;
  ThreadGroup& operator=(const ThreadGroup&) = delete;

  // Runs `work` on a waiting thread of the group, or on a new one when none
  // waits, with the log tag `tag` (at most 7 characters). An exception that
  // escapes `work` is logged and ends only that work. False, with `work` not
  // run, when the system refuses a thread. Safe to call from any thread,
  // also from work of this group.
  bool Spawn(const char* tag, std::function<void()> work);

  // Waits until all work has ended, also work handed over meanwhile, and
  // every thread has ended. Work handed over later runs on a new thread
  // that ends with it.
  void JoinAll();

 private:
  struct Task {
    std::string tag;
    std::function<void()> work;
  };

  void Run(std::list<std::thread>::iterator self);
  static void RunTask(Task& task);

  std::mutex mutex_;
  std::condition_variable wake_;   // work queued or closing
  std::condition_variable ended_;  // a thread moved itself to finished_
  std::deque<Task> queue_;         // guarded by mutex_
  std::list<std::thread> running_;   // guarded by mutex_
  std::list<std::thread> finished_;  // ended, not yet joined; guarded by mutex_
  size_t idle_ = 0;                  // threads waiting for work; guarded by mutex_
  bool closing_ = false;             // guarded by mutex_
};

}  // namespace relvoproxy
