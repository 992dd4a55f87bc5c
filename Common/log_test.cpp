#include "Common/log.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>

#include "Common/os.h"
#include "tests/support/temp_dir.h"

using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

std::string Tid() { return std::to_string(libmo::os::CurrentThreadId()); }

TEST(LogLine, PrefixShowsTheThreadIdAndItsTagCutToSeven) {
  TempDir dir;
  libmo::LogFile log;
  ASSERT_FALSE(log.Open(dir / "t.log"));
  std::string tid;
  std::thread([&] {
    tid = Tid();
    EXPECT_TRUE(log.Printf("untagged"));
    SetThreadTag("ABCDEFGHIJ");
    log.Printf("tagged");
    SetThreadTag("");
    log.Printf("empty tag");
    SetThreadTag("UNIT");
    log.Printf("value %d and %s", 42, "text");
  }).join();
  const std::string stamp = R"(\d\d\.\d\d\.\d\d \d\d:\d\d:\d\d\.\d\d\d \()" + tid;
  const std::regex lines(stamp + R"(\): untagged\n)" + stamp + R"(:ABCDEFG\): tagged\n)" + stamp +
                         R"(\): empty tag\n)" + stamp + R"(:UNIT\): value 42 and text\n)");
  const std::string content = ReadFile(dir.path() / "t.log");
  EXPECT_TRUE(std::regex_match(content, lines)) << content;
}

TEST(LogLine, CutAtTheBufferSizeWithVisibleMarker) {
  TempDir dir;
  libmo::LogFile log;
  ASSERT_FALSE(log.Open(dir / "cut.log"));
  SetThreadTag("CUT");
  const size_t head = 21 + (" (" + Tid() + ":CUT): ").size();

  // Exactly 2047 bytes before the line feed: kept whole, 2048 with it. One
  // byte more: cut to 2048 bytes ending in "...\n"; far longer texts too.
  log.Printf("%s", std::string(2047 - head, 'x').c_str());
  log.Printf("%s", std::string(2048 - head, 'y').c_str());
  log.Printf("%s", std::string(10000, 'z').c_str());
  const std::string content = ReadFile(dir.path() / "cut.log");
  ASSERT_EQ(3 * 2048u, content.size());
  EXPECT_EQ(std::string(2047 - head, 'x') + "\n", content.substr(head, 2048 - head));
  EXPECT_EQ(std::string(2044 - head, 'y') + "...\n", content.substr(2048 + head, 2048 - head));
  EXPECT_EQ("...\n", content.substr(3 * 2048 - 4));
}

}  // namespace
