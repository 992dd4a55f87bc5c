// ServiceStart run in this process against the connector's own globals. The stop event stays set once set, so CTest
// runs each case in a process of its own (see CMakeLists.txt).
#include "client/connector.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>

#include "Common/utils.h"
#include "client/CommandReconnectThread.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_logs.h"
#include "tests/support/text.h"

namespace fs = std::filesystem;
using testsupport::InOrder;
using testsupport::Occurrences;
using testsupport::TempDir;
using testsupport::WaitFor;

namespace {

// A reconnect thread whose body fails at once; its end is handled by the real CommandReconnectThread::onFinish.
class FailingReconnectThread : public relvo::CommandReconnectThread {
 protected:
  void body() override { throw std::runtime_error("reconnect body failed"); }
};

// A connector whose proxy server refuses connections, so the reconnect thread keeps retrying until it is stopped.
class Connector : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = fs::current_path();
    fs::current_path(dir_.path());
    const std::string ini = fs::path(libmo::GetModulePath()).stem().string() + ".ini";
    testsupport::WriteFile(dir_.path() / ini,
                           "[general]\ndebug_level=1\nreconnect_tmo=5000\n[proxyServer]\naddress=127.0.0.1\nport=" +
                               std::to_string(testsupport::ClosedLoopbackPort()) +
                               "\n[servers]\nmain=1\n[main]\naddress=127.0.0.1\nport=1\n");
    relvo::Globals().config.InitConfigFileName();
  }
  void TearDown() override {
    if (!returned_) relvo::RequestStop();  // a failed case must not hang here
    if (runner_.joinable()) runner_.join();
    fs::current_path(saved_);
  }

  void RunServiceStart() {
    runner_ = std::thread([this] {
      relvo::ServiceStart(0, nullptr);
      returned_ = true;
    });
  }
  bool ServiceStartReturned() {
    return WaitFor([this] { return returned_.load(); }, std::chrono::seconds(30));
  }

  TempDir dir_;
  fs::path saved_;
  testsupport::TestLogs logs_;
  std::thread runner_;
  std::atomic<bool> returned_{false};
};

TEST_F(Connector, ReconnectThreadWhoseBodyThrowsStopsTheWholeConnector) {
  RunServiceStart();
  ASSERT_TRUE(WaitFor([&] { return logs_.Events().find("Starting command reconnect thread.") != std::string::npos; }))
      << logs_.Events();

  FailingReconnectThread failing;
  ASSERT_TRUE(failing.Start("RCX"));
  ASSERT_TRUE(ServiceStartReturned()) << logs_.Events();
  failing.Join();

  const std::string events = logs_.Events();
  EXPECT_NE(std::string::npos, logs_.Errors().find("libmo::threadFunc error: reconnect body failed")) << logs_.Errors();
  // Both reconnect threads ended: the failing one first, then the connector's own, stopped by the stop sequence.
  EXPECT_EQ(2u, Occurrences(events, "Command reconnect thread stopped.")) << events;
  EXPECT_TRUE(InOrder(events, {"Command reconnect thread stopped.", "Service stopping...",
                               "Command reconnect thread stopped.", "Completion thread stopped."}))
      << events;
}

TEST_F(Connector, StopRequestedBeforeTheWaitIsNotLost) {
  relvo::RequestStop();
  RunServiceStart();
  ASSERT_TRUE(ServiceStartReturned()) << logs_.Events();

  const std::string events = logs_.Events();
  EXPECT_TRUE(InOrder(events, {"service stop requested.", "Launching the relvoclient (2.0.0.19).",
                               "Service stopping...", "Completion thread stopped."}))
      << events;
  EXPECT_EQ(std::string::npos, logs_.Errors().find("threadFunc error")) << logs_.Errors();
}

}  // namespace
