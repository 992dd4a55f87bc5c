#include "Common/cfilenot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Common/log.h"
#include "Common/oserror.h"
#include "Common/os.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_logs.h"
#include "tests/support/text.h"

namespace fs = std::filesystem;
using testsupport::Occurrences;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WaitFor;
using testsupport::WriteFile;

namespace {

// Thread-safe record of reported names and of the threads that reported them.
class Record {
 public:
  void Add(const char* fileName) {
    std::lock_guard<std::mutex> lock(mutex_);
    names_.emplace_back(fileName);
    threads_.insert(libmo::os::CurrentThreadId());
  }
  bool Saw(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::find(names_.begin(), names_.end(), name) != names_.end();
  }
  std::vector<std::string> Names() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return names_;
  }
  std::set<unsigned> Threads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> names_;
  std::set<unsigned> threads_;
};

// Logs and records every name it is handed; stops its own watch when it
// sees `stopOn`.
class RecordingWatcher : public libmo::TChangeFileChangeManager {
 public:
  explicit RecordingWatcher(const fs::path& folder, std::string stopOn = std::string()) : stopOn_(std::move(stopOn)) {
    directory = folder.string();
  }
  ~RecordingWatcher() override { StopChangeControl(); }

  void NotifySubscribes(const char* fileName) override {
    LogEvent("reported %s", fileName);
    record.Add(fileName);
    if (!stopOn_.empty() && stopOn_ == fileName) StopChangeControl();
  }

  Record record;

 private:
  const std::string stopOn_;
};

class Subscriber : public libmo::FileChangeSubscriber {
 public:
  void FileChanged(const char* fileName) override { record.Add(fileName); }
  Record record;
};

std::string Joined(const std::vector<std::string>& names) {
  std::string all;
  for (const std::string& name : names) all += "[" + name + "]";
  return all;
}

// Logs go to a folder of their own, never the watched one: each logged name
// would otherwise be a change of the log file.
class ChangeWatch : public ::testing::Test {
 protected:
  std::string Events() const { return logs_.Events(); }
  std::string Errors() const { return logs_.Errors(); }

  // Until `record` has seen `probe`, (re)writes it in `folder`: changes made
  // before the watch is in place are not reported.
  static bool WaitUntilWatching(const Record& record, const fs::path& folder,
                                const std::string& probe = "probe.txt") {
    return WaitFor([&] {
      WriteFile(folder / probe, "probe");
      return record.Saw(probe);
    });
  }

  // Runs StopChangeControl with a deadline.
  static bool StopsInTime(libmo::TChangeFileChangeManager& manager) {
    std::future<void> done = std::async(std::launch::async, [&manager] { manager.StopChangeControl(); });
    return done.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  }

  testsupport::TestLogs logs_{"TEST"};
  TempDir dir_;  // the watched folder
};

TEST_F(ChangeWatch, WrittenAndCreatedFilesAreReportedByBareNameOnTheOneFnotThread) {
  WriteFile(dir_.path() / "existing.txt", "one");
  RecordingWatcher watcher(dir_.path());
  ASSERT_TRUE(watcher.StartChangeControl());
  ASSERT_TRUE(WaitUntilWatching(watcher.record, dir_.path()));

  WriteFile(dir_.path() / "existing.txt", "two");
  EXPECT_TRUE(WaitFor([&] { return watcher.record.Saw("existing.txt"); })) << Joined(watcher.record.Names());
  WriteFile(dir_.path() / "created.ini", "[general]\n");
  EXPECT_TRUE(WaitFor([&] { return watcher.record.Saw("created.ini"); })) << Joined(watcher.record.Names());
  // A burst is reported record by record.
  for (int i = 0; i < 10; ++i) WriteFile(dir_.path() / ("batch-" + std::to_string(i) + ".txt"), "x");
  EXPECT_TRUE(WaitFor([&] { return watcher.record.Saw("batch-0.txt") && watcher.record.Saw("batch-9.txt"); }))
      << Joined(watcher.record.Names());

  for (const std::string& name : watcher.record.Names()) {
    EXPECT_EQ(std::string::npos, name.find_first_of("/\\")) << name;
  }
  const std::set<unsigned> threads = watcher.record.Threads();
  ASSERT_EQ(1u, threads.size());
  const unsigned fnot = *threads.begin();
  EXPECT_NE(libmo::os::CurrentThreadId(), fnot);
  const std::string line = "(" + std::to_string(fnot) + ":FNOT): reported existing.txt\n";
  EXPECT_NE(std::string::npos, Events().find(line)) << Events();

  // A second start is refused and leaves the watch running.
  EXPECT_FALSE(watcher.StartChangeControl());
  const std::string refused = "Change control for directory already started, thread id: " + std::to_string(fnot) + "\n";
  EXPECT_EQ(1u, Occurrences(Errors(), refused)) << Errors();
  WriteFile(dir_.path() / "after.txt", "still watched");
  EXPECT_TRUE(WaitFor([&] { return watcher.record.Saw("after.txt"); })) << Joined(watcher.record.Names());
  EXPECT_EQ(threads, watcher.record.Threads());
}

TEST_F(ChangeWatch, NewNamesAreReportedButNotDeletedFilesOldNamesOrSubfolders) {
  TempDir outside;
  WriteFile(dir_.path() / "moved.txt", "old");
  WriteFile(outside.path() / "moved.txt", "from elsewhere");
  WriteFile(dir_.path() / "gone.txt", "bye");
  WriteFile(dir_.path() / "old-name.txt", "same");
  fs::create_directory(dir_.path() / "sub");
  WriteFile(dir_.path() / "sub" / "inner.txt", "1");
  RecordingWatcher watcher(dir_.path());
  ASSERT_TRUE(watcher.StartChangeControl());
  ASSERT_TRUE(WaitUntilWatching(watcher.record, dir_.path()));

  // Moved in over an existing file, as editors save.
  fs::rename(outside.path() / "moved.txt", dir_.path() / "moved.txt");
  EXPECT_TRUE(WaitFor([&] { return watcher.record.Saw("moved.txt"); })) << Joined(watcher.record.Names());

  ASSERT_TRUE(fs::remove(dir_.path() / "gone.txt"));
  fs::rename(dir_.path() / "old-name.txt", dir_.path() / "new-name.txt");
  WriteFile(dir_.path() / "sub" / "inner.txt", "2");
  WriteFile(dir_.path() / "sub" / "fresh.txt", "3");
  WriteFile(dir_.path() / "sentinel.txt", "after");
  ASSERT_TRUE(WaitFor([&] { return watcher.record.Saw("sentinel.txt") && watcher.record.Saw("new-name.txt"); }))
      << Joined(watcher.record.Names());
  for (const std::string& name : watcher.record.Names()) {
    for (const char* unseen : {"gone.txt", "old-name.txt", "inner.txt", "fresh.txt"}) {
      EXPECT_EQ(std::string::npos, name.find(unseen)) << name;
    }
  }
}

TEST_F(ChangeWatch, StopEndsTheWaitingWatcherAndALaterStartWatchesAgain) {
  RecordingWatcher watcher(dir_.path());
  ASSERT_TRUE(watcher.StartChangeControl());
  ASSERT_TRUE(WaitUntilWatching(watcher.record, dir_.path()));
  ASSERT_TRUE(StopsInTime(watcher));
  ASSERT_TRUE(watcher.StartChangeControl());
  ASSERT_TRUE(WaitUntilWatching(watcher.record, dir_.path(), "restart-probe.txt"));
  EXPECT_EQ(0u, Occurrences(Errors(), "already started")) << Errors();
}

TEST_F(ChangeWatch, MissingFolderEndsTheWatcherAndBlocksRestartUntilStopped) {
  const fs::path missing = dir_.path() / "missing";
  RecordingWatcher watcher(missing);
  ASSERT_TRUE(watcher.StartChangeControl());
  const std::string line = "Error while change control: Can't create change control handle. : last OS error '" +
                           libmo::ErrorText(2) +
                           "' func(libmo::TChangeFileChangeManager::TChangeFilesNotifier::Start cfilenot:63)\n";
  ASSERT_TRUE(WaitFor([&] { return Errors().find(line) != std::string::npos; })) << Errors();

  EXPECT_FALSE(watcher.StartChangeControl());
  EXPECT_EQ(1u, Occurrences(Errors(), "Change control for directory already started, thread id: ")) << Errors();

  ASSERT_TRUE(StopsInTime(watcher));
  fs::create_directory(missing);
  ASSERT_TRUE(watcher.StartChangeControl());
  EXPECT_TRUE(WaitUntilWatching(watcher.record, missing));
  EXPECT_EQ(1u, Occurrences(Errors(), "Error while change control")) << Errors();
}

TEST_F(ChangeWatch, StopFromTheWatcherThreadIsReportedAndEndsTheWatch) {
  RecordingWatcher watcher(dir_.path(), "stop.txt");
  ASSERT_TRUE(watcher.StartChangeControl());
  ASSERT_TRUE(WaitUntilWatching(watcher.record, dir_.path()));
  testing::internal::CaptureStderr();
  WriteFile(dir_.path() / "stop.txt", "stop");
  const std::string report =
      "STANDART exception caught in function libmo::TChangeFileChangeManager::StopChangeControl, file "
      "Common/cfilenot, line 259: \"";
  const bool reported = WaitFor([&] { return Errors().find(report) != std::string::npos; });
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(reported) << Errors();
  EXPECT_TRUE(StopsInTime(watcher));
  EXPECT_EQ(1u, Occurrences(Errors(), report)) << Errors();
}

TEST_F(ChangeWatch, BaseHandsNamesToLiveSubscribers) {
  libmo::TChangeFileChangeManager manager;
  auto live = std::make_shared<Subscriber>();
  auto gone = std::make_shared<Subscriber>();
  manager.Subscribe(live);
  manager.Subscribe(gone);
  gone.reset();
  manager.SetDirectory(dir_.path().string());
  ASSERT_TRUE(manager.StartChangeControl());
  EXPECT_TRUE(WaitUntilWatching(live->record, dir_.path()));
  ASSERT_TRUE(StopsInTime(manager));
  EXPECT_EQ(1u, live->record.Threads().size());
}

}  // namespace
