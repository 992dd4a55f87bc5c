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

TEST(LogLine, TimeStampIsTwentyOneCharactersWithFixedSeparators) {
  char buffer[32];
  char* end = libmo::detail::PutTimeStamp(buffer, libmo::os::LocalTime{2026, 12, 5, 6, 11, 8, 123});
  EXPECT_EQ("05.12.26 06:11:08.123", std::string(buffer, end));
  end = libmo::detail::PutTimeStamp(buffer, libmo::os::LocalTime{2000, 1, 1, 0, 0, 0, 0});
  EXPECT_EQ("01.01.00 00:00:00.000", std::string(buffer, end));
}

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

TEST(LogOpen, CreatesMissingFoldersAndAppendsAndAFailureLeavesNoFile) {
  TempDir dir;
  const std::string path = dir / "a/b/c/x.log";
  {
    libmo::LogFile log;
    ASSERT_FALSE(log.Open(path));
    log.Printf("first");
  }
  libmo::LogFile log;
  bool same = true;
  ASSERT_FALSE(log.Open(path, &same));
  EXPECT_FALSE(same);
  log.Printf("second");
  const std::string content = ReadFile(path);
  EXPECT_LT(content.find("first"), content.find("second"));
  EXPECT_EQ(std::string::npos, content.find('\r'));
  ASSERT_FALSE(log.Open(path, &same));
  EXPECT_TRUE(same);

  testsupport::WriteFile(dir.path() / "plain", "not a folder");
  EXPECT_TRUE(log.Open(dir / "plain/sub/x.log"));
  EXPECT_FALSE(log.Printf("lost"));
  EXPECT_FALSE(Contains(ReadFile(path), "lost"));
}

// The process-wide logs: LogInit, levels and the Init line.
class ProcessLogs : public ::testing::Test {
 protected:
  std::string Events() const { return logs_.Events(); }
  std::string Errors() const { return logs_.Errors(); }
  testsupport::TestLogs logs_{"GLOBAL"};
};

TEST_F(ProcessLogs, InitLineOnceAndErrorLinesInBoth) {
  ASSERT_FALSE(LogInit("SECOND"));
  const std::string events = Events();
  const std::string initLine = "Init log: PID=" + std::to_string(libmo::os::CurrentProcessId());
  EXPECT_EQ(1u, testsupport::Occurrences(events, initLine)) << events;
  EXPECT_TRUE(Contains(Errors(), initLine));

  LogError("broken %d", 7);
  LogEvent("just news");
  EXPECT_TRUE(Contains(Errors(), ":SECOND): broken 7\n"));
  EXPECT_TRUE(Contains(Events(), ":SECOND): broken 7\n"));
  EXPECT_FALSE(Contains(Errors(), "just news"));
}

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

TEST_F(ProcessLogs, FailedLogInitIsReportedAndKeepsRunning) {
  TempDir other;
  testsupport::WriteFile(other.path() / "blocker", "file");
  static std::string blocked;
  blocked = other / "blocker/events.log";
  libmo::SetLogPathSource([](std::string& events, std::string& errors) {
    events = blocked;
    errors = blocked;
  });
  testing::internal::CaptureStdout();
  const std::error_code ec = LogInit("BAD");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(ec);
  EXPECT_TRUE(Contains(out, "Log init error (Code=" + std::to_string(ec.value()) + "): ")) << out;
}

}  // namespace
