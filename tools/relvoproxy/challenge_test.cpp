#include "tools/relvoproxy/challenge.h"

#include <gtest/gtest.h>

#include <set>

namespace relvoproxy {
namespace {

TEST(ExpectedAnswer, MatchesKnownAnswersAndTakesBytesAsUnsigned) {
  EXPECT_EQ("-1453979438", ExpectedAnswer(""));
  EXPECT_EQ("735826448", ExpectedAnswer("a"));
  EXPECT_EQ("1462498813", ExpectedAnswer("abc"));
  EXPECT_EQ("-2035115983", ExpectedAnswer("hello"));
  // Bytes above 0x7F must not be sign-extended into the sum.
  EXPECT_EQ("1942196985", ExpectedAnswer("\xFF"));
  EXPECT_EQ("333072202", ExpectedAnswer("\x80\xFE"));
}

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
