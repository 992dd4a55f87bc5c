// The challenge of the connector handshake: a fresh random key for every
// connection and the answer a connector owes for it.
#pragma once

#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <string_view>

namespace relvoproxy {

// Shortest and longest key MakeKey produces (the zero byte not counted).
constexpr size_t kMinKeyLength = 16;
constexpr size_t kMaxKeyLength = 32;

// Longest answer text a right answer can have: a signed 32-bit decimal.
constexpr size_t kMaxAnswerLength = 11;

// The answer text for `key`: the one-at-a-time hash of the key followed by
// the salt "kavu", in 32-bit unsigned arithmetic, written as a signed
// decimal int ("-1" for all bits set).
std::string ExpectedAnswer(std::string_view key);

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
