#include "Common/reused_thread.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "Common/native_thread.h"

namespace libmo {

struct ReusedThread::Run {
  Entry entry;
  void* arg;
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;  // guarded by mutex
};

namespace {

// A thread waiting for its next run. Its own lock, so that a thread taking
// its run never contends with the next Start for the pool's.
struct Parked {
  size_t stackBytes = 0;
  std::mutex mutex;
  std::condition_variable wake;
  std::shared_ptr<ReusedThread::Run> next;  // guarded by mutex
};

struct Pool {
  std::mutex mutex;
  // Shared with the thread, so that a wake-up given after the unlock never
  // outlives a thread that has meanwhile ended.
  std::vector<std::shared_ptr<Parked>> parked;  // guarded by mutex
};

// Never destroyed: parked threads wait on it until the process ends.
Pool& ThePool() {
  static Pool* const pool = new Pool;
  return *pool;
}

thread_local const ReusedThread::Run* currentRun = nullptr;

// How long a thread stays parked without a run before it ends, so that a
// connector idle after a burst holds no more threads than before it.
constexpr auto kParkTime = std::chrono::seconds(5);

// Waits for the parked thread's next run: true when it came, false when it
// was taken off the pool after kParkTime without one (the thread then ends).
bool AwaitRun(Parked& self, Pool& pool) {
  {
    std::unique_lock<std::mutex> lock(self.mutex);
    if (self.wake.wait_for(lock, kParkTime, [&self] { return self.next != nullptr; })) return true;
  }
  {
    std::lock_guard<std::mutex> lock(pool.mutex);
    for (auto p = pool.parked.begin(); p != pool.parked.end(); ++p) {
      if (p->get() != &self) continue;
      pool.parked.erase(p);
      return false;
    }
  }
  // A Start took this thread just now: its run is on the way.
  std::unique_lock<std::mutex> lock(self.mutex);
  self.wake.wait(lock, [&self] { return self.next != nullptr; });
  return true;
}

struct Launch {
  size_t stackBytes;
  std::shared_ptr<ReusedThread::Run> first;
};

void Work(void* raw) {
  std::unique_ptr<Launch> launch(static_cast<Launch*>(raw));
  const auto self = std::make_shared<Parked>();
  self->stackBytes = launch->stackBytes;
  std::shared_ptr<ReusedThread::Run> run = std::move(launch->first);
  launch.reset();
  Pool& pool = ThePool();
  for (;;) {
    currentRun = run.get();
    run->entry(run->arg);
    currentRun = nullptr;
    {
      std::lock_guard<std::mutex> lock(run->mutex);
      run->done = true;
    }
    run->ended.notify_all();
    run.reset();
    {
      std::lock_guard<std::mutex> lock(pool.mutex);
      if (pool.parked.size() >= ReusedThread::kMaxParked) return;
      pool.parked.push_back(self);
    }
    if (!AwaitRun(*self, pool)) return;
    std::lock_guard<std::mutex> lock(self->mutex);
    run = std::move(self->next);
  }
}

}  // namespace

ReusedThread ReusedThread::Start(Entry entry, void* arg, size_t stackBytes) {
  auto run = std::make_shared<Run>();
  run->entry = entry;
  run->arg = arg;
  ReusedThread handle;
  handle.run_ = run;
  Pool& pool = ThePool();
  std::shared_ptr<Parked> taken;
  {
    std::lock_guard<std::mutex> lock(pool.mutex);
    // The most recently parked first: its stack is the likeliest in cache.
    for (size_t i = pool.parked.size(); i-- > 0;) {
      if (pool.parked[i]->stackBytes != stackBytes) continue;
      taken = std::move(pool.parked[i]);
      pool.parked.erase(pool.parked.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  }
  if (taken) {
    {
      std::lock_guard<std::mutex> lock(taken->mutex);
      taken->next = std::move(run);
    }
    taken->wake.notify_one();
    return handle;
  }
  auto* launch = new Launch{stackBytes, std::move(run)};
  try {
    NativeThread::Start(&Work, launch, stackBytes).Detach();
  } catch (...) {
    // No thread will ever run it: the handle lets go of the run, so that
    // the caller meets only the exception.
    delete launch;
    handle.run_.reset();
    throw;
  }
  return handle;
}

size_t ReusedThread::ParkedCount() {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> lock(pool.mutex);
  return pool.parked.size();
}

ReusedThread::~ReusedThread() {
  if (run_) std::terminate();
}

ReusedThread& ReusedThread::operator=(ReusedThread&& other) noexcept {
  if (run_) std::terminate();
  run_ = std::move(other.run_);
  return *this;
}

void ReusedThread::Join() {
  if (currentRun == run_.get()) {
    throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
  }
  {
    std::unique_lock<std::mutex> lock(run_->mutex);
    run_->ended.wait(lock, [this] { return run_->done; });
  }
  run_.reset();
}

}  // namespace libmo
