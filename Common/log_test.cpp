#include "Common/log.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>

#include "Common/os.h"
#include "Common/platform.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_logs.h"

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

  // Exactly 2047 bytes before the line feed: kept whole, 2048 with it. One byte more: cut to 2048 bytes ending in
  // "...\n"; far longer texts too.
  log.Printf("%s", std::string(2047 - head, 'x').c_str());
  log.Printf("%s", std::string(2048 - head, 'y').c_str());
  log.Printf("%s", std::string(10000, 'z').c_str());
  const std::string content = ReadFile(dir.path() / "cut.log");
  ASSERT_EQ(3 * 2048u, content.size());
  EXPECT_EQ(std::string(2047 - head, 'x') + "\n", content.substr(head, 2048 - head));
  EXPECT_EQ(std::string(2044 - head, 'y') + "...\n", content.substr(2048 + head, 2048 - head));
  EXPECT_EQ("...\n", content.substr(3 * 2048 - 4));
}

TEST(LogRotation, ALogThatCannotBeMovedShiftsNothingKeepsItsLinesAndIsTriedAgain) {
  testsupport::TestLogs logs;  // the report goes to the errors log
  TempDir dir;
  testsupport::WriteFile(dir / "t.1.log", "one\n");
  testsupport::WriteFile(dir / "t.2.log", "two\n");
  libmo::LogFile log;
  log.SetRotation(100, 2);
  ASSERT_FALSE(log.Open(dir / "t.log"));
  // A viewer holds the log open without delete sharing (Windows); on POSIX, where an open file can always be renamed, a
  // folder is in the way.
#if defined(_WIN32)
  const HANDLE viewer = ::CreateFileW((dir.path() / "t.log").wstring().c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, viewer);
  for (int i = 0; i < 8; ++i) log.Printf("held line %d", i);
  ::CloseHandle(viewer);
#else
  ASSERT_TRUE(std::filesystem::create_directory(dir.path() / "t.0.log"));
  for (int i = 0; i < 8; ++i) log.Printf("held line %d", i);
  std::filesystem::remove(dir.path() / "t.0.log");
#endif
  EXPECT_EQ("one\ntwo\n", ReadFile(dir.path() / "t.1.log") + ReadFile(dir.path() / "t.2.log"));
  const std::string held = ReadFile(dir.path() / "t.log");
  EXPECT_TRUE(held.find("held line 0") != std::string::npos && held.find("held line 7") != std::string::npos) << held;
  const std::string errors = logs.Errors();
  const size_t report = errors.find("Log rotation: '" + (dir / "t.log") + "' cannot be renamed");
  EXPECT_NE(std::string::npos, report) << errors;
  EXPECT_EQ(std::string::npos, errors.find("Log rotation:", report + 1)) << errors;  // once

  // Released: the next try moves the whole held log, and the oldest goes.
  for (int i = 0; i < 5 && ReadFile(dir.path() / "t.2.log") == "two\n"; ++i) log.Printf("released");
  EXPECT_EQ(held + "one\n", ReadFile(dir.path() / "t.1.log").substr(0, held.size()) + ReadFile(dir.path() / "t.2.log"));
  EXPECT_NE(std::string::npos, logs.Errors().find("' was renamed at last; rotation works again.")) << logs.Errors();
}

}  // namespace
