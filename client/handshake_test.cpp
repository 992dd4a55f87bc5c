#include "client/handshake.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

// Keys and answers worked out independently of this implementation.
TEST(HandshakeHash, KnownAnswers) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", "-1453979438"},
      {"a", "735826448"},
      {"abc", "1462498813"},
      {"hello", "-2035115983"},
      {"0123456789", "-929015376"},
      {"KEY-12345", "868801796"},
      {"\x7f", "-1516070360"},
      {"The quick brown fox jumps over the lazy dog", "-1312838265"},
  };
  for (const auto& [key, answer] : vectors) EXPECT_EQ(answer, relvo::HashHandshakeKey(key)) << key;
}

}  // namespace
