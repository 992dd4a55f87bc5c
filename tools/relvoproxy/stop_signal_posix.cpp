#include <signal.h>

#include <condition_variable>
#include <mutex>
#include <optional>

#include "Common/log.h"
#include "Common/signal_thread_posix.h"
#include "tools/relvoproxy/stop_signal.h"

namespace relvoproxy {

struct StopRequests::State {
  std::mutex mutex;
  std::condition_variable requested;
  std::string what;  // guarded by mutex
  std::optional<libmo::SignalThread> signals;
};

StopRequests::StopRequests() : state_(std::make_unique<State>()) {
  State* state = state_.get();
  state->signals.emplace(std::initializer_list<int>{SIGINT, SIGTERM, SIGHUP}, [state](int signal) {
    if (signal == SIGHUP) {
      // logrotate has moved the log file away: continue in a new one.
      const std::error_code ec = libmo::EventsLog().Reopen();
      if (ec) {
        LogError("SIGHUP: cannot reopen the log: %s", ec.message().c_str());
      } else {
        LogEvent("SIGHUP: log reopened");
      }
      return;
    }
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      if (state->what.empty()) state->what = signal == SIGINT ? "SIGINT" : "SIGTERM";
    }
    state->requested.notify_all();
  });
}

StopRequests::~StopRequests() = default;

std::string StopRequests::Wait() {
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->requested.wait(lock, [this] { return !state_->what.empty(); });
  return state_->what;
}

}  // namespace relvoproxy
