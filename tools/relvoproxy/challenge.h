// The challenge of the connector handshake: a fresh random key for every
// connection (the answer owed for it: relvo::wire::HandshakeAnswer).
#pragma once

#include <cstdint>
#include <mutex>
#include <random>
#include <string>

namespace relvoproxy {

// Shortest and longest key MakeKey produces (the zero byte not counted).
constexpr size_t kMinKeyLength = 16;
constexpr size_t kMaxKeyLength = 32;

// Source of handshake keys. Thread-safe.
class KeySource {
 public:
  // Seeded from std::random_device and the clock.
  KeySource();
  KeySource(const KeySource&) = delete;
  KeySource& operator=(const KeySource&) = delete;

  // A key of kMinKeyLength to kMaxKeyLength printable ASCII characters
  // ('!' to '~'), never containing a zero byte.
  std::string MakeKey();

 private:
  std::mutex mutex_;
  std::mt19937_64 engine_;
};

}  // namespace relvoproxy
