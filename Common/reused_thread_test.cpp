#include "Common/reused_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "Common/native_thread.h"
#include "tests/support/temp_dir.h"

using libmo::ReusedThread;
using namespace std::chrono_literals;

namespace {

// Runs record the thread they ran on; a closed gate holds them until opened.
struct Gate {
  std::mutex mutex;
  std::condition_variable opened;
  bool open = true;
  std::atomic<int> waiting{0};
  std::thread::id ranOn;
  static void Run(void* self) {
    Gate& gate = *static_cast<Gate*>(self);
    std::unique_lock<std::mutex> lock(gate.mutex);
    gate.ranOn = std::this_thread::get_id();
    ++gate.waiting;
    gate.opened.wait(lock, [&gate] { return gate.open; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mutex);
    open = true;
    opened.notify_all();
  }
};

// Runs once on a thread of `stack`; waits until its thread has parked again and `parked` threads are parked in all.
std::thread::id RunOnce(size_t stack, size_t parked) {
  Gate gate;
  ReusedThread run = ReusedThread::Start(&Gate::Run, &gate, stack);
  run.Join();
  EXPECT_TRUE(testsupport::WaitFor([parked] { return ReusedThread::ParkedCount() == parked; }));
  return gate.ranOn;
}

TEST(ReusedThread, ARefusedThreadThrowsLeavesNothingBehindAndTheNextStartWorks) {
  ASSERT_TRUE(testsupport::WaitFor([] { return ReusedThread::ParkedCount() == 0; }, 20s));
  libmo::NativeThread::SetAdmission([] { return false; });
  Gate gate;
  EXPECT_THROW(ReusedThread::Start(&Gate::Run, &gate, 72 * 1024), std::system_error);
  libmo::NativeThread::SetAdmission(nullptr);
  EXPECT_EQ(0, gate.waiting.load());
  EXPECT_NE(std::thread::id(), RunOnce(72 * 1024, 1));
}

TEST(ReusedThread, AFinishedRunParksItsThreadForTheNextRunOfTheSameStack) {
  const std::thread::id first = RunOnce(0, 2);
  EXPECT_EQ(first, RunOnce(0, 2));
  EXPECT_NE(first, RunOnce(80 * 1024, 3));  // another stack size takes another thread
}

TEST(ReusedThread, AtMostSixtyFourThreadsPark) {
  Gate gate;
  gate.open = false;
  std::vector<ReusedThread> runs;
  for (size_t i = 0; i <= ReusedThread::kMaxParked; ++i) runs.push_back(ReusedThread::Start(&Gate::Run, &gate, 0));
  ASSERT_TRUE(testsupport::WaitFor([&] { return gate.waiting.load() == 65; }));
  gate.Open();
  for (ReusedThread& run : runs) run.Join();
  EXPECT_TRUE(testsupport::WaitFor([] { return ReusedThread::ParkedCount() == ReusedThread::kMaxParked; }));
  EXPECT_EQ(ReusedThread::kMaxParked, ReusedThread::ParkedCount());
}

// Last: it waits for every thread the others parked to end.
TEST(ReusedThread, AThreadParkedForFiveSecondsWithoutARunEnds) {
  ASSERT_TRUE(testsupport::WaitFor([] { return ReusedThread::ParkedCount() == 0; }, 20s));
  const auto parked = std::chrono::steady_clock::now();  // the thread parks after this
  RunOnce(0, 1);
  ASSERT_TRUE(testsupport::WaitFor([] { return ReusedThread::ParkedCount() == 0; }, 20s));
  EXPECT_GE(std::chrono::steady_clock::now() - parked, 4s);  // timed waits under sanitizers run a little short
}

}  // namespace
