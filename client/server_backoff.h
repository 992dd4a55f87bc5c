// Target servers set aside after a failed connect. A server whose connect
// fails is not chosen for a while, so that one dead server does not take
// every new tunnel while another has room: 1 s after the first failure,
// twice as long after each further one, at most 30 s, and nothing once a
// connect succeeds. Kept beside the servers (which never change once
// loaded), keyed by the server object.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>

namespace relvo {

struct TServer;

class ServerBackoff {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kFirst{1000};
  static constexpr std::chrono::milliseconds kLongest{30000};

  // `now` tells the time (tests give their own clock).
  explicit ServerBackoff(std::function<Clock::time_point()> now = &Clock::now) : now_(std::move(now)) {}

  // A connect to `server` failed: it is set aside from now on for the
  // returned time. Safe to call from any thread.
  std::chrono::milliseconds Failed(const TServer* server);

  // A connect to `server` succeeded: true when it had been set aside (the
  // back-off is cleared). Safe to call from any thread.
  bool Succeeded(const TServer* server);

  // When `server`'s time aside ends; Clock::time_point::min() when it is
  // not set aside (or no longer). Safe to call from any thread.
  Clock::time_point AsideUntil(const TServer* server) const;

 private:
  struct Aside {
    Clock::time_point until;
    std::chrono::milliseconds length{0};
  };
  const std::function<Clock::time_point()> now_;
  mutable std::mutex mutex_;
  std::map<const TServer*, Aside> aside_;  // guarded by mutex_
};

}  // namespace relvo
