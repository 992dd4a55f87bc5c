#include "tools/relvoproxy/challenge.h"

#include <gtest/gtest.h>

#include <set>

namespace relvoproxy {
namespace {

TEST(KeySource, MakesUniquePrintableKeysOfEveryLengthFromSixteenToThirtyTwo) {
  KeySource first;
  KeySource second;
  std::set<std::string> seen;
  std::set<size_t> lengths;
  for (int i = 0; i < 2000; ++i) {
    const std::string key = (i % 2 == 0 ? first : second).MakeKey();
    ASSERT_GE(key.size(), kMinKeyLength);
    ASSERT_LE(key.size(), kMaxKeyLength);
    for (const char c : key) ASSERT_TRUE(c >= '!' && c <= '~') << static_cast<int>(c);
    EXPECT_TRUE(seen.insert(key).second) << key;
    lengths.insert(key.size());
  }
  // Every length shows up in 2000 draws (a miss is astronomically unlikely).
  EXPECT_EQ(kMaxKeyLength - kMinKeyLength + 1, lengths.size());
}

}  // namespace
}  // namespace relvoproxy
