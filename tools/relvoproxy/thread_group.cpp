#include "tools/relvoproxy/thread_group.h"

#include <exception>
#include <system_error>

#include "Common/assert.h"
#include "Common/log.h"

namespace relvoproxy {

ThreadGroup::~ThreadGroup() { JoinAll(); }

bool ThreadGroup::Spawn(const char* tag, std::function<void()> work) {
  std::list<std::thread> finished;
  bool started = true;
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finished.swap(finished_);
    queue_.push_back(Task{tag, std::move(work)});
    if (queue_.size() <= idle_) {
      // Woken after the unlock, so that the thread does not wait for it.
      wake = true;
    } else {
      const auto self = running_.emplace(running_.end());
      try {
        // The new thread takes mutex_ first, so `self` is set before it runs.
        *self = std::thread([this, self] { Run(self); });
      } catch (const std::system_error& e) {
        LogError("cannot start a thread: %s", e.what());
        running_.erase(self);
        queue_.pop_back();
        started = false;
      }
    }
  }
  if (wake) wake_.notify_one();
  for (std::thread& t : finished) t.join();
  return started;
}

void ThreadGroup::JoinAll() {
  std::unique_lock<std::mutex> lock(mutex_);
  closing_ = true;
  wake_.notify_all();
  for (;;) {
    std::list<std::thread> finished;
    finished.swap(finished_);
    if (finished.empty()) {
      if (running_.empty()) return;
      ended_.wait(lock, [this] { return !finished_.empty() || running_.empty(); });
      continue;
    }
    lock.unlock();
    for (std::thread& t : finished) t.join();
    lock.lock();
  }
}

void ThreadGroup::Run(std::list<std::thread>::iterator self) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (queue_.empty()) {
      if (closing_ || idle_ >= kMaxIdle) break;
      ++idle_;
      wake_.wait(lock, [this] { return !queue_.empty() || closing_; });
      --idle_;
      continue;
    }
    Task task = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    RunTask(task);
    task = Task{};  // what the work holds is released before the next work
    lock.lock();
  }
  finished_.splice(finished_.end(), running_, self);
  ended_.notify_all();
}

void ThreadGroup::RunTask(Task& task) {
  SetThreadTag(task.tag.c_str());
  try {
    task.work();
  } catch (const std::exception& e) {
    LogError("%s", e.what());
  } catch (...) {
    libmo::Detail::AssertFailNoExceptionImpl("relvoproxy::ThreadGroup::Spawn", "tools/relvoproxy/thread_group",
                                             __LINE__);
  }
}

}  // namespace relvoproxy
