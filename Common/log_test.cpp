#include "Common/log.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>

#include "Common/os.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_logs.h"
#include "tests/support/text.h"

using testsupport::Contains;
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

  // Exactly 2047 bytes before the line feed: kept whole, 2048 with it.
  log.Printf("%s", std::string(2047 - head, 'x').c_str());
  std::string content = ReadFile(dir.path() / "cut.log");
  ASSERT_EQ(2048u, content.size());
  EXPECT_EQ('\n', content.back());
  EXPECT_EQ('x', content[2046]);

  // One byte more: cut to 2048 bytes ending in "...\n".
  libmo::LogFile second;
  ASSERT_FALSE(second.Open(dir / "cut2.log"));
  second.Printf("%s", std::string(2048 - head, 'y').c_str());
  content = ReadFile(dir.path() / "cut2.log");
  ASSERT_EQ(2048u, content.size());
  EXPECT_EQ("...\n", content.substr(2044));
  EXPECT_EQ('y', content[2043]);

  // Far longer texts are cut the same way.
  second.Printf("%s", std::string(10000, 'z').c_str());
  EXPECT_EQ(4096u, ReadFile(dir.path() / "cut2.log").size());
}

// The process-wide logs: LogInit, levels and the Init line.
class ProcessLogs : public ::testing::Test {
 protected:
  std::string Events() const { return logs_.Events(); }
  std::string Errors() const { return logs_.Errors(); }
  testsupport::TestLogs logs_{"GLOBAL"};
};

TEST_F(ProcessLogs, LevelGatesOnlyLinesWithAnExplicitLevel) {
  SetLogLevel(0);
  LogEventAt(1, "level one at zero");
  LogEvent("plain at zero");
  SetLogLevel(10);
  LogEventAt(10, "level ten at ten");
  SetLogLevel(1);
  SetLogLevel(1);  // unchanged: no line
  SetLogLevel(5);
  const std::string events = Events();
  EXPECT_FALSE(Contains(events, "level one at zero"));
  EXPECT_TRUE(Contains(events, "plain at zero"));
  EXPECT_TRUE(Contains(events, "level ten at ten"));
  EXPECT_TRUE(Contains(events, "SetLogLevel: 1 -> 5\n"));
  EXPECT_FALSE(Contains(events, "SetLogLevel: 1 -> 1"));
}

}  // namespace
