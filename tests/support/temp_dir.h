// Test helpers: a temporary folder removed at the end of the test, file reading and bounded waits for a condition.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

namespace testsupport {

// Creates a fresh, empty folder under the system's temp folder; removes it with everything inside when destroyed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // path() / name, as a string.
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Whole content of a file; "" when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);

// Writes (replaces) a file with `content`, binary.
void WriteFile(const std::filesystem::path& path, const std::string& content);

// Polls `condition` until it is true or `timeout` has passed; returns its last value. Never a substitute for a result
// check: the caller asserts it.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(20));

}  // namespace testsupport
