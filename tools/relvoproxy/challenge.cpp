#include "tools/relvoproxy/challenge.h"

#include <chrono>

namespace relvoproxy {

KeySource::KeySource() {
  // The clock reading keeps keys apart even where random_device is weak.
  std::random_device device;
  const uint64_t now = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  const uint64_t entropy = (static_cast<uint64_t>(device()) << 32) ^ device();
  engine_ = std::mt19937_64(entropy ^ (now * 0x9E3779B97F4A7C15ull));
}

std::string KeySource::MakeKey() {
  std::uniform_int_distribution<size_t> length(kMinKeyLength, kMaxKeyLength);
  std::uniform_int_distribution<int> character('!', '~');
  std::lock_guard<std::mutex> lock(mutex_);
  std::string key(length(engine_), '\0');
  for (char& c : key) c = static_cast<char>(character(engine_));
  return key;
}

}  // namespace relvoproxy
