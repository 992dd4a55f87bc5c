// Base of every long-running worker: one OS thread with a name (its log tag),
// a stop flag and an interruptible sleep.
//
// On its thread a worker runs onStart, body, onFinish; an exception that
// escapes them is logged and ends only that thread. The owner must Stop and
// Join a worker before destroying it (destroying an unjoined worker ends the
// process, as for std::thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "Common/noncopyable.h"

namespace libmo {

// The first thing every thread of the connector runs: calls the thread
// preparer (when one is set), then opens or keeps the logs and sets the
// thread's log tag. A log failure does not stop the thread.
void PrepareThread(std::string_view tag);

// Sets the function that PrepareThread calls first on every thread (the
// connector installs its crash translator there); null removes it.
// Safe to call from any thread.
using ThreadPreparer = void (*)();
void SetThreadPreparer(ThreadPreparer preparer);

class Thread : public Noncopyable {
 public:
  Thread();
  virtual ~Thread();

  // Starts the OS thread; a stopped and joined worker may be started again
  // (a previous run that was only stopped is joined first). True when a
  // thread was created. Throws std::system_error when the OS refuses.
  // REQUIRES: the worker is not running.
  bool Start(const char* name);

  // The stack size of the threads Start makes from now on; 0 (the default)
  // is the platform's. The stack must hold the deepest call of the worker,
  // its log lines and error reports included.
  void SetStackSize(size_t bytes);

  // Runs that Start makes from now on take a parked thread of the same
  // stack size when one waits (see ReusedThread) instead of a new thread;
  // Join then waits for the run, after which the thread parks. A worker
  // that runs often and briefly saves a thread's creation each time.
  void SetReuseThreads(bool reuse);

  // Asks the worker to stop and wakes its sleep; does not wait.
  // Safe to call from any thread.
  void Stop();

  // Waits for the thread to end; does nothing when there is none. Throws
  // std::system_error when called from the worker itself.
  void Join();

  bool IsStopping() const;

  const std::string& Name() const;

 protected:
  virtual void body() = 0;
  // Base: PrepareThread(name).
  virtual void onStart();
  // Runs after body, also when body threw.
  virtual void onFinish();
  // Runs on the caller's thread, first step of Stop.
  virtual void onStopRequest();

  // Waits `ms` milliseconds on the steady clock, or less when a stop is
  // requested. A non-positive length is logged ("ms > 0") and waits nothing.
  void sleep(int32_t ms);

 private:
  struct State;
  static void Entry(void* self);
  void threadFunc();

  std::unique_ptr<State> state_;
};

}  // namespace libmo
