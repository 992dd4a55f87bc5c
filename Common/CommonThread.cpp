#include "Common/CommonThread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>

#include "Common/assert.h"
#include "Common/log.h"
#include "Common/native_thread.h"
#include "Common/reused_thread.h"

namespace libmo {

struct Thread::State {
  NativeThread thread;
  ReusedThread run;  // instead of `thread` when reuse is set
  size_t stackBytes = 0;
  bool reuse = false;
  std::string name;
  std::atomic<bool> stop{false};
  std::condition_variable wake;
  std::mutex mutex;
};

namespace {
std::atomic<ThreadPreparer> threadPreparer{nullptr};
}  // namespace

void SetThreadPreparer(ThreadPreparer preparer) { threadPreparer.store(preparer); }

void PrepareThread(std::string_view tag) {
  if (ThreadPreparer preparer = threadPreparer.load()) preparer();
  LogInit(tag);
}

Thread::Thread() : state_(std::make_unique<State>()) {}

Thread::~Thread() = default;

bool Thread::Start(const char* name) {
  state_->name = name != nullptr ? name : "";
  if (state_->stop.load()) {
    Join();
    state_->stop.store(false);
  }
  // The new thread waits at the gate until `thread` is assigned, so that the
  // worker itself may read it (a self-Join must see its own handle).
  std::lock_guard<std::mutex> gate(state_->mutex);
  if (state_->reuse) {
    state_->run = ReusedThread::Start(&Thread::Entry, this, state_->stackBytes);
    return state_->run.Joinable();
  }
  // A running, unjoined thread here ends the process.
  state_->thread = NativeThread::Start(&Thread::Entry, this, state_->stackBytes);
  return state_->thread.Joinable();
}

void Thread::SetStackSize(size_t bytes) { state_->stackBytes = bytes; }

void Thread::SetReuseThreads(bool reuse) { state_->reuse = reuse; }

void Thread::Entry(void* self) { static_cast<Thread*>(self)->threadFunc(); }

void Thread::Stop() {
  onStopRequest();
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stop.store(true);
  }
  state_->wake.notify_one();
}

void Thread::Join() {
  if (state_->thread.Joinable()) state_->thread.Join();
  if (state_->run.Joinable()) state_->run.Join();
}

bool Thread::IsStopping() const { return state_->stop.load(); }

const std::string& Thread::Name() const { return state_->name; }

void Thread::onStart() { PrepareThread(state_->name); }
void Thread::onFinish() {}
void Thread::onStopRequest() {}

void Thread::sleep(int32_t ms) {
  if (ms <= 0) {
    SetErrorPlace("libmo::Thread::sleep", "Common/CommonThread", 83);
    LogPlacedError("ms > 0");
    ms = 0;
  }
  using Clock = std::chrono::steady_clock;
  const Clock::time_point now = Clock::now();
  const Clock::duration length = std::chrono::milliseconds(ms);
  const Clock::time_point deadline = Clock::time_point::max() - now < length ? Clock::time_point::max() : now + length;
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->wake.wait_until(lock, deadline, [this] { return state_->stop.load(); });
}

void Thread::threadFunc() {
  { std::lock_guard<std::mutex> gate(state_->mutex); }
  try {
    onStart();
    try {
      body();
    } catch (...) {
      onFinish();
      throw;
    }
    onFinish();
  } catch (const std::exception& e) {
    LogError("libmo::threadFunc error: %s", e.what());
  } catch (...) {
    libmo::Detail::AssertFailNoExceptionImpl("libmo::Thread::threadFunc", "Common/CommonThread", 49);
  }
}

}  // namespace libmo
