#include "tools/relvoproxy/challenge.h"

#include <gtest/gtest.h>

#include <set>

namespace relvoproxy {
namespace {

TEST(ExpectedAnswer, MatchesKnownAnswers) {
  EXPECT_EQ("-1453979438", ExpectedAnswer(""));
  EXPECT_EQ("735826448", ExpectedAnswer("a"));
  EXPECT_EQ("1462498813", ExpectedAnswer("abc"));
  EXPECT_EQ("-2035115983", ExpectedAnswer("hello"));
}

TEST(ExpectedAnswer, TakesBytesAsUnsigned) {
  // A byte above 0x7F must not be sign-extended into the sum.
  EXPECT_NE(ExpectedAnswer(std::string(1, '\x7F')), ExpectedAnswer(std::string(1, '\xFF')));
  EXPECT_EQ(ExpectedAnswer(std::string(1, '\xFF')), ExpectedAnswer(std::string(1, static_cast<char>(255))));
}

TEST(ExpectedAnswer, IsAtMostElevenCharacters) {
  for (const std::string key : {"", "a", "abc", "hello", "KEY-12345", "0123456789abcdef0123456789abcdef"}) {
    const std::string answer = ExpectedAnswer(key);
    EXPECT_GE(answer.size(), 1u);
    EXPECT_LE(answer.size(), kMaxAnswerLength) << key;
  }
}

TEST(KeySource, MakesPrintableKeysOfSixteenToThirtyTwoCharacters) {
  KeySource keys;
  std::set<size_t> lengths;
  for (int i = 0; i < 2000; ++i) {
    const std::string key = keys.MakeKey();
    ASSERT_GE(key.size(), kMinKeyLength);
    ASSERT_LE(key.size(), kMaxKeyLength);
    for (const char c : key) ASSERT_TRUE(c >= '!' && c <= '~') << static_cast<int>(c);
    lengths.insert(key.size());
  }
  // Every length shows up in 2000 draws (a miss is astronomically unlikely).
  EXPECT_EQ(kMaxKeyLength - kMinKeyLength + 1, lengths.size());
}

TEST(KeySource, NeverRepeatsAKey) {
  KeySource first;
  KeySource second;
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    EXPECT_TRUE(seen.insert(first.MakeKey()).second);
    EXPECT_TRUE(seen.insert(second.MakeKey()).second);
  }
}

}  // namespace
}  // namespace relvoproxy
