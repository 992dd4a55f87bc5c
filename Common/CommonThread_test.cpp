#include "Common/CommonThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "Common/log.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_logs.h"
#include "tests/support/text.h"

using testsupport::Contains;

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
  enum class Body { Return, ThrowStd, ThrowInt, SleepLong, SleepZero, JoinSelf };
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
  std::atomic<bool> joinRefused{false};

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
      case Body::SleepZero:
        sleep(0);
        return;
      case Body::JoinSelf:
        try {
          Join();
        } catch (const std::system_error&) {
          joinRefused = true;
        }
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

TEST_F(Workers, HooksRunInOrderTheNameIsTheLogTagAndARestartRunsWithAClearFlag) {
  Recorder r(Recorder::Body::Return);
  r.Join();  // without a start: nothing to wait for
  EXPECT_TRUE(r.Events().empty());

  ASSERT_TRUE(r.Start("WORKER_LONG"));
  r.Join();
  EXPECT_EQ((std::vector<std::string>{"start", "body", "finish"}), r.Events());
  EXPECT_TRUE(Contains(Events(), ":WORKER_): in body\n")) << Events();

  r.Stop();
  r.Join();
  ASSERT_TRUE(r.Start("AGAIN"));
  r.Join();
  EXPECT_EQ(2, r.runs);
  EXPECT_FALSE(r.stoppingSeen);
  EXPECT_FALSE(r.IsStopping());
}

TEST_F(Workers, ExceptionsAreLoggedAndFinishStillRuns) {
  {
    Recorder r(Recorder::Body::ThrowStd);
    ASSERT_TRUE(r.Start("THROW"));
    r.Join();
    EXPECT_EQ((std::vector<std::string>{"start", "body", "finish"}), r.Events());
    EXPECT_TRUE(Contains(Errors(), "libmo::threadFunc error: broken %s body\n")) << Errors();
  }
  Recorder r(Recorder::Body::ThrowInt);
  testing::internal::CaptureStderr();
  ASSERT_TRUE(r.Start("INT"));
  r.Join();
  testing::internal::GetCapturedStderr();
  EXPECT_EQ((std::vector<std::string>{"start", "body", "finish"}), r.Events());
  EXPECT_TRUE(Contains(Errors(), "INTEGER exception caught in function libmo::Thread::threadFunc, file "
                                 "Common/CommonThread, line 49: \"Code: 5\"."))
      << Errors();
}

TEST_F(Workers, StopWakesALongSleepAtOnceAndBeforeItStartsToo) {
  // A missed wake-up would hang each Join for ten minutes.
  Recorder during(Recorder::Body::SleepLong);
  ASSERT_TRUE(during.Start("SLEEPER"));
  ASSERT_TRUE(testsupport::WaitFor([&] { return during.runs.load() == 1; }));
  during.Stop();
  during.Join();
  EXPECT_TRUE(during.woke);
  EXPECT_EQ("stop request", during.Events().at(2));

  Recorder early(Recorder::Body::SleepLong);
  early.Stop();  // before Start: Start clears it again
  ASSERT_TRUE(early.Start("EARLY"));
  early.Stop();
  early.Join();
  EXPECT_TRUE(early.woke);
}

TEST_F(Workers, NonPositiveSleepIsLoggedAndSelfJoinIsRefused) {
  Recorder zero(Recorder::Body::SleepZero);
  ASSERT_TRUE(zero.Start("ZERO"));
  zero.Join();
  EXPECT_TRUE(Contains(Errors(), ":ZERO): ms > 0 func(libmo::Thread::sleep CommonThread:83)\n")) << Errors();

  Recorder self(Recorder::Body::JoinSelf);
  ASSERT_TRUE(self.Start("SELF"));
  self.Join();
  EXPECT_TRUE(self.joinRefused);
}

}  // namespace
