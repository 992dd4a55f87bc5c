#include "tools/relvoproxy/thread_group.h"

#include <exception>
#include <memory>
#include <string>
#include <system_error>

#include "Common/assert.h"
#include "Common/log.h"

namespace relvoproxy {

struct ThreadGroup::Task {
  ThreadGroup* group;
  uint64_t id;
  std::string tag;
  std::function<void()> work;
};

ThreadGroup::~ThreadGroup() { JoinAll(); }

bool ThreadGroup::Spawn(const char* tag, std::function<void()> work) {
  std::unique_lock<std::mutex> lock(mutex_);
  Reap(lock);
  auto task = std::make_unique<Task>(Task{this, nextId_++, tag, std::move(work)});
  const uint64_t id = task->id;
  try {
    // The run takes mutex_ before it files itself as ended, so its handle is
    // filed first.
    running_.emplace(id, libmo::ReusedThread::Start(&Entry, task.get(), 0));
  } catch (const std::exception& e) {  // std::system_error: no thread; std::bad_alloc
    LogError("cannot start a thread: %s", e.what());
    return false;
  }
  task.release();  // the run owns it now
  return true;
}

void ThreadGroup::Entry(void* arg) {
  std::unique_ptr<Task> task(static_cast<Task*>(arg));
  SetThreadTag(task->tag.c_str());
  try {
    task->work();
  } catch (const std::exception& e) {
    LogError("%s", e.what());
  } catch (...) {
    libmo::Detail::AssertFailNoExceptionImpl("relvoproxy::ThreadGroup::Spawn", "tools/relvoproxy/thread_group",
                                             __LINE__);
  }
  ThreadGroup* const group = task->group;
  const uint64_t id = task->id;
  task.reset();  // what the work holds is released before the run counts as ended
  std::lock_guard<std::mutex> lock(group->mutex_);
  const auto run = group->running_.find(id);
  group->finished_.push_back(std::move(run->second));
  group->running_.erase(run);
  group->ended_.notify_all();
}

void ThreadGroup::Reap(std::unique_lock<std::mutex>& lock) {
  while (!finished_.empty()) {
    std::vector<libmo::ReusedThread> finished;
    finished.swap(finished_);
    lock.unlock();
    for (libmo::ReusedThread& run : finished) run.Join();  // ends at once: the run has filed itself
    lock.lock();
  }
}

void ThreadGroup::JoinAll() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    Reap(lock);
    if (running_.empty()) return;
    ended_.wait(lock, [this] { return !finished_.empty() || running_.empty(); });
  }
}

}  // namespace relvoproxy
