#include "Common/CommonThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "Common/log.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_logs.h"


namespace {

class Workers : public ::testing::Test {
 protected:
  std::string Errors() const { return logs_.Errors(); }
  std::string Events() const { return logs_.Events(); }
  testsupport::TestLogs logs_;
};

// Records the order in which its hooks run.
class Recorder : public libmo::Thread {
 public:
  enum class Body { Return, ThrowStd, ThrowInt, SleepLong };
  explicit Recorder(Body b) : behaviour(b) {}
  ~Recorder() override {
    Stop();
    Join();
  }

  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> lock(mutex);
    return events;
  }
  std::atomic<bool> woke{false};
  std::atomic<int> runs{0};
  std::atomic<bool> stoppingSeen{false};

 protected:
  void onStart() override {
    Thread::onStart();
    Add("start");
  }
  void body() override {
    ++runs;
    Add("body");
    LogEvent("in body");
    switch (behaviour) {
      case Body::Return:
        stoppingSeen = IsStopping();
        return;
      case Body::ThrowStd:
        throw std::runtime_error("broken %s body");
      case Body::ThrowInt:
        throw 5;
      case Body::SleepLong:
        sleep(600000);
        woke = true;
        return;
    }
  }
  void onFinish() override { Add("finish"); }
  void onStopRequest() override { Add("stop request"); }

 private:
  void Add(const char* what) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(what);
  }
  Body behaviour;
  std::mutex mutex;
  std::vector<std::string> events;
};

TEST_F(Workers, HooksRunInOrderAndTheNameIsTheLogTag) {
  Recorder r(Recorder::Body::Return);
  ASSERT_TRUE(r.Start("WORKER_LONG"));
  r.Join();
  EXPECT_EQ((std::vector<std::string>{"start", "body", "finish"}), r.Events());
  EXPECT_NE(std::string::npos, Events().find(":WORKER_): in body\n")) << Events();
}

TEST_F(Workers, StdExceptionIsLoggedAndFinishStillRuns) {
  Recorder r(Recorder::Body::ThrowStd);
  ASSERT_TRUE(r.Start("THROW"));
  r.Join();
  EXPECT_EQ((std::vector<std::string>{"start", "body", "finish"}), r.Events());
  EXPECT_NE(std::string::npos, Errors().find("libmo::threadFunc error: broken %s body\n")) << Errors();
}

TEST_F(Workers, OtherExceptionsGoToTheCatchAllReporter) {
  Recorder r(Recorder::Body::ThrowInt);
  testing::internal::CaptureStderr();
  ASSERT_TRUE(r.Start("INT"));
  r.Join();
  testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, Errors().find("INTEGER exception caught in function libmo::Thread::threadFunc, file "
                                             "Common/CommonThread, line 49: \"Code: 5\"."))
      << Errors();
}

TEST_F(Workers, StopWakesALongSleepAtOnce) {
  Recorder r(Recorder::Body::SleepLong);
  ASSERT_TRUE(r.Start("SLEEPER"));
  ASSERT_TRUE(testsupport::WaitFor([&] { return r.runs.load() == 1; }));
  r.Stop();
  r.Join();  // a missed wake-up would hang here for ten minutes
  EXPECT_TRUE(r.woke);
  EXPECT_EQ("stop request", r.Events().at(2));
}

TEST_F(Workers, StopBeforeTheFirstSleepMakesItReturnAtOnce) {
  Recorder r(Recorder::Body::SleepLong);
  r.Stop();  // before Start: Start clears it again
  ASSERT_TRUE(r.Start("EARLY"));
  r.Stop();
  r.Join();
  EXPECT_TRUE(r.woke);
}

TEST_F(Workers, RestartAfterStopAndJoinRunsWithAClearFlag) {
  Recorder r(Recorder::Body::Return);
  ASSERT_TRUE(r.Start("AGAIN"));
  r.Stop();
  r.Join();
  ASSERT_TRUE(r.Start("AGAIN"));
  r.Join();
  EXPECT_EQ(2, r.runs);
  EXPECT_FALSE(r.stoppingSeen);
  EXPECT_FALSE(r.IsStopping());
}

TEST_F(Workers, JoinWithoutStartDoesNothing) {
  Recorder r(Recorder::Body::Return);
  r.Join();
  EXPECT_TRUE(r.Events().empty());
}

// sleep(0) logs the failed check and returns.
class ZeroSleeper : public libmo::Thread {
 protected:
  void body() override { sleep(0); }
};

TEST_F(Workers, NonPositiveSleepIsLoggedAndWaitsNothing) {
  ZeroSleeper z;
  ASSERT_TRUE(z.Start("ZERO"));
  z.Join();
  EXPECT_NE(std::string::npos, Errors().find(":ZERO): ms > 0 func(libmo::Thread::sleep CommonThread:83)\n"))
      << Errors();
}

// Joining from the worker itself is refused.
class SelfJoiner : public libmo::Thread {
 public:
  std::atomic<bool> refused{false};

 protected:
  void body() override {
    try {
      Join();
    } catch (const std::system_error&) {
      refused = true;
    }
  }
};

TEST_F(Workers, SelfJoinThrowsSystemError) {
  SelfJoiner s;
  ASSERT_TRUE(s.Start("SELF"));
  s.Join();
  EXPECT_TRUE(s.refused);
}

}  // namespace
