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

// Records the order in which its hooks run; its body does what it is told.
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
  std::atomic<bool> woke{false}, stoppingSeen{false}, joinRefused{false};
  std::atomic<int> runs{0};

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

TEST(Workers, HooksRunInOrderEvenWhenTheBodyThrowsAndARestartRunsWithAClearFlag) {
  testsupport::TestLogs logs;
  Recorder r(Recorder::Body::Return);
  r.Join();  // without a start: nothing to wait for
  ASSERT_TRUE(r.Start("WORKER_LONG"));
  r.Join();
  EXPECT_EQ((std::vector<std::string>{"start", "body", "finish"}), r.Events());
  EXPECT_TRUE(Contains(logs.Events(), ":WORKER_): in body\n")) << logs.Events();
  r.Stop();
  r.Join();
  ASSERT_TRUE(r.Start("AGAIN"));
  r.Join();
  EXPECT_EQ(2, r.runs);
  EXPECT_FALSE(r.stoppingSeen);

  Recorder std(Recorder::Body::ThrowStd), other(Recorder::Body::ThrowInt);
  testing::internal::CaptureStderr();
  ASSERT_TRUE(std.Start("THROW") && other.Start("INT"));
  std.Join();
  other.Join();
  testing::internal::GetCapturedStderr();
  EXPECT_EQ((std::vector<std::string>{"start", "body", "finish"}), other.Events());
  EXPECT_TRUE(Contains(logs.Errors(), "libmo::threadFunc error: broken %s body\n")) << logs.Errors();
  EXPECT_TRUE(Contains(logs.Errors(), "INTEGER exception caught in function libmo::Thread::threadFunc, file "
                                      "Common/CommonThread, line 49: \"Code: 5\"."))
      << logs.Errors();
}

TEST(Workers, StopWakesASleepAlsoWhenRequestedBeforeTheStartAndMisuseIsRefused) {
  testsupport::TestLogs logs;
  // A missed wake-up would hang the Join for ten minutes.
  Recorder early(Recorder::Body::SleepLong);
  early.Stop();  // before Start: Start clears it again
  ASSERT_TRUE(early.Start("EARLY"));
  ASSERT_TRUE(testsupport::WaitFor([&] { return early.runs.load() == 1; }));
  early.Stop();
  early.Join();
  EXPECT_TRUE(early.woke);
  EXPECT_EQ((std::vector<std::string>{"stop request", "start", "body", "stop request", "finish"}), early.Events());

  Recorder zero(Recorder::Body::SleepZero), self(Recorder::Body::JoinSelf);
  ASSERT_TRUE(zero.Start("ZERO") && self.Start("SELF"));
  zero.Join();
  self.Join();
  EXPECT_TRUE(Contains(logs.Errors(), ":ZERO): ms > 0 func(libmo::Thread::sleep CommonThread:83)\n")) << logs.Errors();
  EXPECT_TRUE(self.joinRefused);
}

}  // namespace
