// Log lines about what a peer can repeat at will (connections refused,
// replaced or cut short): one line a second at most, the rest counted and
// the count named on the next line, so that a flood cannot grow the log
// without bound.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace relvoproxy {

class LogThrottle {
 public:
  // True when a line may be written now; `*held` is then the text to end it
  // with: empty, or how many lines were held back since the last one.
  // Thread-safe.
  bool Allow(std::string* held) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    if (now < next_) {
      ++held_;
      return false;
    }
    next_ = now + std::chrono::seconds(1);
    *held = held_ == 0 ? std::string() : " (" + std::to_string(held_) + " more such lines held back)";
    held_ = 0;
    return true;
  }

 private:
  std::mutex mutex_;
  std::chrono::steady_clock::time_point next_{};  // guarded by mutex_
  uint64_t held_ = 0;                               // guarded by mutex_
};

}  // namespace relvoproxy
