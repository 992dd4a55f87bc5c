#include "client/server_backoff.h"

#include <algorithm>

namespace relvo {

std::chrono::milliseconds ServerBackoff::Failed(const TServer* server) {
  std::lock_guard<std::mutex> lock(mutex_);
  Aside& aside = aside_[server];
  aside.length = aside.length.count() == 0 ? kFirst : std::min(aside.length * 2, kLongest);
  aside.until = now_() + aside.length;
  return aside.length;
}

bool ServerBackoff::Succeeded(const TServer* server) {
  std::lock_guard<std::mutex> lock(mutex_);
  return aside_.erase(server) != 0;
}

ServerBackoff::Clock::time_point ServerBackoff::AsideUntil(const TServer* server) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = aside_.find(server);
  if (found == aside_.end() || found->second.until <= now_()) return Clock::time_point::min();
  return found->second.until;
}

}  // namespace relvo
