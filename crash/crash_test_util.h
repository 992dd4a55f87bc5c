// Shared pieces of the crash tests: the logs routed to a temp folder, the
// report split into its sections, small text helpers.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Common/os.h"
#include "crash/exception_handler.h"
#include "tests/support/temp_dir.h"

namespace crashtest {

// The message part of each line of a log ("... (tid:TAG): message").
std::vector<std::string> Messages(const std::string& log);

// The first report in a sequence of messages.
struct Report {
  bool complete = false;  // the six markers in order, the sections adjacent
  std::string exception;  // the exception section's line
  std::vector<std::string> modules;  // module lines, without "[ModuleList] "
  std::vector<std::string> frames;   // call stack lines: frames and errors
  size_t end = 0;  // index of the first message after the report
};
Report ParseReport(const std::vector<std::string>& messages);

// Upper-case hexadecimal without leading zeros, as in the description.
std::string Hex(uint64_t value);
// "YYYYMMDD".
std::string Day(const libmo::os::LocalTime& t);
// The dump path separator as a regular expression.
std::string DumpSeparatorPattern();

// Handles `record` with the calling thread's own context; returns the text
// of the std::runtime_error that Handle threw ("<nothing thrown>" if none).
std::string HandleRecord(tezra::se::Handler& handler, tezra::ExceptionRecord& record);

// Collects the lines that a report output writes.
class Lines : public tezra::se::Output {
 public:
  void Write(const std::string& line) override { lines.push_back(line); }
  std::vector<std::string> lines;
};

// Makes `dir` the current directory for its lifetime.
class CurrentDirectory {
 public:
  explicit CurrentDirectory(const std::filesystem::path& dir);
  ~CurrentDirectory();

 private:
  std::filesystem::path saved_;
};

// Routes the process's logs to a temp folder for the suite; NewErrors() is
// what the errors log got since the test started.
class CrashLogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;
  std::vector<std::string> NewErrors() const { return Messages(ErrorsText()); }
  std::string ErrorsText() const;

 private:
  static testsupport::TempDir* dir_;
  size_t start_ = 0;
};

}  // namespace crashtest
