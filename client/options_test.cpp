#include "client/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Builds a mutable argv from texts.
struct Args {
  explicit Args(std::vector<std::string> texts) : storage(std::move(texts)) {
    for (std::string& s : storage) pointers.push_back(s.data());
  }
  int argc() const { return static_cast<int>(pointers.size()); }
  char** argv() { return pointers.data(); }
  std::vector<std::string> storage;
  std::vector<char*> pointers;
};

TEST(FindOption, ExactCaseSensitiveWholeStringMatch) {
  Args a({"relvoclient", "-Debug", "-debugx", "/d", "x-debug"});
  std::string value = "stale";
  EXPECT_FALSE(relvo::FindOption(a.argc(), a.argv(), "-debug", value));
  EXPECT_EQ("", value);

  Args b({"relvoclient", "/d", "-debug"});
  EXPECT_TRUE(relvo::FindOption(b.argc(), b.argv(), "-debug", value));
  EXPECT_FALSE(relvo::FindOption(b.argc(), b.argv(), "-d", value));
}

TEST(FindOption, ValueIsTheNextElementWithoutLeadingBlanks) {
  Args a({"prog", "-x", "   value  ", "-y"});
  std::string value;
  ASSERT_TRUE(relvo::FindOption(a.argc(), a.argv(), "-x", value));
  EXPECT_EQ("value  ", value);
  ASSERT_TRUE(relvo::FindOption(a.argc(), a.argv(), "-y", value));
  EXPECT_EQ("", value);
}

TEST(FindOption, TheProgramPathTakesPartToo) {
  Args a({"-v"});
  std::string value;
  EXPECT_TRUE(relvo::FindOption(a.argc(), a.argv(), "-v", value));
  EXPECT_FALSE(relvo::FindOption(0, nullptr, "-v", value));
}

}  // namespace
