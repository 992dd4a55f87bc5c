#include "Common/log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <thread>

#include "Common/os.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

// Writes one line through a LogFile of its own.
bool WriteLine(libmo::LogFile& log, const char* format, ...) LIBMO_PRINTF(2, 3);
bool WriteLine(libmo::LogFile& log, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const bool ok = log.Write(format, args);
  va_end(args);
  return ok;
}

std::string Tid() { return std::to_string(libmo::os::CurrentThreadId()); }

TEST(LogLine, TimeStampIsTwentyOneCharactersWithFixedSeparators) {
  libmo::os::LocalTime t;
  t.year = 2026;
  t.month = 12;
  t.day = 5;
  t.hour = 6;
  t.minute = 11;
  t.second = 8;
  t.millisecond = 123;
  char buffer[32];
  char* end = libmo::detail::PutTimeStamp(buffer, t);
  EXPECT_EQ("05.12.26 06:11:08.123", std::string(buffer, end));

  t = {};
  t.year = 2000;
  t.month = 1;
  t.day = 1;
  end = libmo::detail::PutTimeStamp(buffer, t);
  EXPECT_EQ("01.01.00 00:00:00.000", std::string(buffer, end));
}

TEST(LogLine, FormatPrefixAndLineFeed) {
  TempDir dir;
  libmo::LogFile log;
  ASSERT_FALSE(log.Open(dir / "a.log"));
  SetThreadTag("UNIT");
  EXPECT_TRUE(WriteLine(log, "value %d and %s", 42, "text"));
  const std::string content = ReadFile(dir.path() / "a.log");
  const std::regex line(R"(\d\d\.\d\d\.\d\d \d\d:\d\d:\d\d\.\d\d\d \()" + Tid() +
                        R"(:UNIT\): value 42 and text\n)");
  EXPECT_TRUE(std::regex_match(content, line)) << content;
}

TEST(LogLine, CutAtTheBufferSizeWithVisibleMarker) {
  TempDir dir;
  libmo::LogFile log;
  ASSERT_FALSE(log.Open(dir / "cut.log"));
  SetThreadTag("CUT");
  const size_t head = 21 + (" (" + Tid() + ":CUT): ").size();

  // Exactly 2047 bytes before the line feed: kept whole, 2048 with it.
  const std::string fits(2047 - head, 'x');
  WriteLine(log, "%s", fits.c_str());
  std::string content = ReadFile(dir.path() / "cut.log");
  ASSERT_EQ(2048u, content.size());
  EXPECT_EQ('\n', content.back());
  EXPECT_EQ('x', content[2046]);

  // One byte more: cut to 2048 bytes ending in "...\n".
  libmo::LogFile second;
  ASSERT_FALSE(second.Open(dir / "cut2.log"));
  const std::string longer(2048 - head, 'y');
  WriteLine(second, "%s", longer.c_str());
  content = ReadFile(dir.path() / "cut2.log");
  ASSERT_EQ(2048u, content.size());
  EXPECT_EQ("...\n", content.substr(2044));
  EXPECT_EQ('y', content[2043]);

  // Far longer texts are cut the same way.
  const std::string huge(10000, 'z');
  WriteLine(second, "%s", huge.c_str());
  EXPECT_EQ(4096u, ReadFile(dir.path() / "cut2.log").size());
}

TEST(LogLine, TagIsCutToSevenAndUntaggedThreadsShowTheIdAlone) {
  TempDir dir;
  libmo::LogFile log;
  ASSERT_FALSE(log.Open(dir / "t.log"));
  std::string untaggedTid;
  std::thread([&] {
    untaggedTid = Tid();
    WriteLine(log, "untagged");
    SetThreadTag("ABCDEFGHIJ");
    WriteLine(log, "tagged");
    SetThreadTag("");
    WriteLine(log, "empty tag");
  }).join();
  const std::string content = ReadFile(dir.path() / "t.log");
  EXPECT_NE(std::string::npos, content.find(" (" + untaggedTid + "): untagged\n")) << content;
  EXPECT_NE(std::string::npos, content.find(" (" + untaggedTid + ":ABCDEFG): tagged\n")) << content;
  EXPECT_NE(std::string::npos, content.find(" (" + untaggedTid + "): empty tag\n")) << content;
}

TEST(LogOpen, CreatesMissingFoldersAndAppends) {
  TempDir dir;
  const std::string path = dir / "a/b/c/x.log";
  {
    libmo::LogFile log;
    ASSERT_FALSE(log.Open(path));
    WriteLine(log, "first");
  }
  libmo::LogFile log;
  bool same = true;
  ASSERT_FALSE(log.Open(path, &same));
  EXPECT_FALSE(same);
  WriteLine(log, "second");
  const std::string content = ReadFile(path);
  EXPECT_LT(content.find("first"), content.find("second"));
  EXPECT_EQ(std::string::npos, content.find('\r'));

  ASSERT_FALSE(log.Open(path, &same));
  EXPECT_TRUE(same);
}

TEST(LogOpen, FailureLeavesTheLogWithoutFile) {
  TempDir dir;
  testsupport::WriteFile(dir.path() / "plain", "not a folder");
  libmo::LogFile log;
  ASSERT_FALSE(log.Open(dir / "ok.log"));
  EXPECT_TRUE(log.Open(dir / "plain/sub/x.log"));
  EXPECT_FALSE(WriteLine(log, "lost"));
  EXPECT_EQ(std::string::npos, ReadFile(dir.path() / "ok.log").find("lost"));
}

// The process-wide logs: LogInit, levels and the Init line.
class ProcessLogs : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    UseSuiteLogs();
  }
  static void UseSuiteLogs() {
    libmo::SetLogPathSource([](std::string& events, std::string& errors) {
      events = (*dir_) / "logs/events.log";
      errors = (*dir_) / "logs/errors.log";
    });
    ASSERT_FALSE(LogInit("GLOBAL"));
  }
  static void TearDownTestSuite() {
    libmo::SetLogPathSource(nullptr);
    // Leave the logs pointing nowhere that outlives the folder.
    libmo::EventsLog().Open(std::string());
    libmo::ErrorsLog().Open(std::string());
    delete dir_;
  }
  static std::string Events() { return ReadFile(dir_->path() / "logs/events.log"); }
  static std::string Errors() { return ReadFile(dir_->path() / "logs/errors.log"); }
  static TempDir* dir_;
};
TempDir* ProcessLogs::dir_ = nullptr;

TEST_F(ProcessLogs, InitLineOnceAndErrorLinesInBoth) {
  ASSERT_FALSE(LogInit("SECOND"));
  const std::string events = Events();
  const std::string initLine = "Init log: PID=" + std::to_string(libmo::os::CurrentProcessId());
  EXPECT_NE(std::string::npos, events.find(initLine)) << events;
  EXPECT_EQ(events.find(initLine), events.rfind(initLine)) << "second LogInit wrote another Init line";
  EXPECT_NE(std::string::npos, Errors().find(initLine));

  LogError("broken %d", 7);
  LogEvent("just news");
  EXPECT_NE(std::string::npos, Errors().find(":SECOND): broken 7\n"));
  EXPECT_NE(std::string::npos, Events().find(":SECOND): broken 7\n"));
  EXPECT_EQ(std::string::npos, Errors().find("just news"));
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
  EXPECT_EQ(std::string::npos, events.find("level one at zero"));
  EXPECT_NE(std::string::npos, events.find("plain at zero"));
  EXPECT_NE(std::string::npos, events.find("level ten at ten"));
  EXPECT_NE(std::string::npos, events.find("SetLogLevel: 1 -> 5\n"));
  EXPECT_EQ(std::string::npos, events.find("SetLogLevel: 1 -> 1"));
  SetLogLevel(1);
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
  EXPECT_NE(std::string::npos, out.find("Log init error (Code=" + std::to_string(ec.value()) + "): ")) << out;
  // Back to the suite's logs for the other tests.
  UseSuiteLogs();
}

}  // namespace
