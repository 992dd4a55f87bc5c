// Delivers chosen process signals to ordinary code on a dedicated thread.
// POSIX only.
#pragma once

#include <signal.h>

#include <atomic>
#include <functional>
#include <initializer_list>
#include <thread>

namespace libmo {

// Blocks a set of signals and waits for them with sigwait on its own thread,
// so the handler runs as ordinary code and never inside a signal handler.
// SIGUSR2 is reserved for waking the thread when the object is destroyed.
class SignalThread {
 public:
  using Handler = std::function<void(int signal)>;

  // Blocks `signals` and SIGUSR2 in the calling thread, then starts the
  // waiting thread, which calls `handler` once for each signal received.
  // REQUIRES: no other thread of the process has these signals unblocked,
  // that is the object is built before the process starts its other threads;
  // threads started later inherit the calling thread's mask.
  // Throws std::system_error when the thread cannot be created.
  SignalThread(std::initializer_list<int> signals, Handler handler);

  // Wakes the waiting thread and joins it. The signals stay blocked in the
  // calling thread: one that arrives afterwards stays pending and never ends
  // a process that is already shutting down in order.
  ~SignalThread();

  SignalThread(const SignalThread&) = delete;
  SignalThread& operator=(const SignalThread&) = delete;

 private:
  void Wait();

  sigset_t signals_;
  Handler handler_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace libmo
