#include "Common/cfilenot.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Common/log.h"
#include "Common/os.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_logs.h"
#include "tests/support/text.h"

namespace fs = std::filesystem;
using testsupport::Occurrences;
using testsupport::TempDir;
using testsupport::WaitFor;
using testsupport::WriteFile;

namespace {

// Records every name it is handed, with the threads that handed them; logs each.
class RecordingWatcher : public libmo::TChangeFileChangeManager, public libmo::FileChangeSubscriber {
 public:
  explicit RecordingWatcher(const fs::path& folder) { directory = folder.string(); }
  ~RecordingWatcher() override { StopChangeControl(); }

  void NotifySubscribes(const char* fileName) override {
    LogEvent("reported %s", fileName);
    FileChanged(fileName);
  }
  void FileChanged(const char* fileName) override {
    std::lock_guard<std::mutex> lock(mutex_);
    names_ += std::string("[") + fileName + "]";
    threads_.insert(libmo::os::CurrentThreadId());
  }
  bool Saw(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return names_.find("[" + name + "]") != std::string::npos;
  }
  std::string Names() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return names_;
  }
  std::set<unsigned> Threads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
  }
  // Until this watcher has been handed `probe`, rewrites it every second: changes made before the watch is in place are
  // not reported, and a file written more often never settles on Windows.
  bool WaitUntilWatching(const std::string& probe = "probe.txt") {
    const fs::path folder = directory;
    auto written = std::chrono::steady_clock::now() - std::chrono::hours(1);
    return WaitFor([&] {
      if (std::chrono::steady_clock::now() - written > std::chrono::seconds(1)) {
        WriteFile(folder / probe, "probe");
        written = std::chrono::steady_clock::now();
      }
      return Saw(probe);
    });
  }

 private:
  mutable std::mutex mutex_;
  std::string names_;
  std::set<unsigned> threads_;
};

// Logs go to a folder of their own, never the watched one.
class ChangeWatch : public ::testing::Test {
 protected:
  testsupport::TestLogs logs_{"TEST"};
  TempDir dir_;  // the watched folder
};

TEST_F(ChangeWatch, WrittenCreatedAndMovedInFilesAreReportedByBareNameOnTheFnotThreadOnly) {
  TempDir outside;
  WriteFile(dir_.path() / "existing.txt", "one");
  WriteFile(outside.path() / "moved.txt", "from elsewhere");
  WriteFile(dir_.path() / "gone.txt", "bye");
  WriteFile(dir_.path() / "old-name.txt", "same");
  fs::create_directory(dir_.path() / "sub");
  RecordingWatcher watcher(dir_.path());
  ASSERT_TRUE(watcher.StartChangeControl());
  ASSERT_TRUE(watcher.WaitUntilWatching());

  WriteFile(dir_.path() / "existing.txt", "two");
  WriteFile(dir_.path() / "created.ini", "[general]\n");
  fs::rename(outside.path() / "moved.txt", dir_.path() / "moved.txt");
  ASSERT_TRUE(fs::remove(dir_.path() / "gone.txt"));
  fs::rename(dir_.path() / "old-name.txt", dir_.path() / "new-name.txt");
  WriteFile(dir_.path() / "sub" / "inner.txt", "2");
  WriteFile(dir_.path() / "sentinel.txt", "after");
  ASSERT_TRUE(WaitFor([&] {
    for (const char* name : {"existing.txt", "created.ini", "moved.txt", "new-name.txt", "sentinel.txt"}) {
      if (!watcher.Saw(name)) return false;
    }
    return true;
  })) << watcher.Names();
  for (const char* unseen : {"gone.txt", "old-name.txt", "inner.txt", "sub/", "sub\\"}) {
    EXPECT_EQ(std::string::npos, watcher.Names().find(unseen)) << watcher.Names();
  }
  const std::set<unsigned> threads = watcher.Threads();
  ASSERT_EQ(1u, threads.size());
  const unsigned fnot = *threads.begin();
  EXPECT_NE(std::string::npos, logs_.Events().find("(" + std::to_string(fnot) + ":FNOT): reported existing.txt\n"));

  // A second start is refused and leaves the watch running.
  EXPECT_FALSE(watcher.StartChangeControl());
  EXPECT_EQ(1u, Occurrences(logs_.Errors(), "Change control for directory already started, thread id: " +
                                                std::to_string(fnot) + "\n"))
      << logs_.Errors();
  EXPECT_TRUE(watcher.WaitUntilWatching("after.txt"));
}

}  // namespace
