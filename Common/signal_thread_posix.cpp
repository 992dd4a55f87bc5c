#include <pthread.h>

#include <exception>
#include <system_error>
#include <utility>

#include "Common/assert.h"
#include "Common/log.h"
#include "Common/signal_thread_posix.h"

namespace libmo {
namespace {

constexpr int kWakeSignal = SIGUSR2;

}  // namespace

SignalThread::SignalThread(std::initializer_list<int> signals, Handler handler) : handler_(std::move(handler)) {
  sigemptyset(&signals_);
  for (const int signal : signals) sigaddset(&signals_, signal);
  sigaddset(&signals_, kWakeSignal);
  const int rc = ::pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
  if (rc != 0) throw std::system_error(rc, std::generic_category(), "pthread_sigmask");
  thread_ = std::thread([this] { Wait(); });
}

SignalThread::~SignalThread() {
  stopping_.store(true);
  // Directed at the waiting thread; stays pending for it if it is busy in
  // the handler, so the wake-up cannot be lost.
  ::pthread_kill(thread_.native_handle(), kWakeSignal);
  thread_.join();
}

void SignalThread::Wait() {
  for (;;) {
    int signal = 0;
    if (::sigwait(&signals_, &signal) != 0) return;  // only for an invalid set
    if (signal == kWakeSignal) {
      if (stopping_.load()) return;
      continue;  // a stray SIGUSR2 sent to the process
    }
    try {
      handler_(signal);
    } catch (const std::exception& e) {
      LogError("%s", e.what());
    } catch (...) {
      libmo::Detail::AssertFailNoExceptionImpl("libmo::SignalThread::Wait", "Common/signal_thread", __LINE__);
    }
  }
}

}  // namespace libmo
