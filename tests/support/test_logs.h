// Routes the process-wide events and errors logs into a temp folder of its own while it lives; one at a time.
#pragma once

#include <string>

#include "tests/support/temp_dir.h"

namespace testsupport {

class TestLogs {
 public:
  // Opens both logs in a fresh folder with `tag` as the calling thread's tag.
  explicit TestLogs(const char* tag = "TEST");
  // Points the logs at no file again and restores level 1.
  ~TestLogs();
  TestLogs(const TestLogs&) = delete;
  TestLogs& operator=(const TestLogs&) = delete;

  std::string Events() const { return ReadFile(dir_.path() / "events.log"); }
  std::string Errors() const { return ReadFile(dir_.path() / "errors.log"); }
  const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
};

}  // namespace testsupport
