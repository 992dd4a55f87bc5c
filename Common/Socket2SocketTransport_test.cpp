#include "Common/Socket2SocketTransport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "Common/netUtils.h"
#include "Common/socket_timeout.h"
#include "tests/support/loopback.h"
#include "tests/support/test_logs.h"
#include "tests/support/text.h"

#if defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>

namespace {

// The pump alone, between two connections the test owns.
class BarePump : public libmo::Socker2SocketTransport {
 public:
  BarePump(SOCKET source, SOCKET destination) : source_(source), destination_(destination) {}
  ~BarePump() override {
    Stop();
    source_.Close();
    destination_.Close();
    Join();
  }

 protected:
  libmo::UniqueSocket* GetSrcSocket() override { return &source_; }
  libmo::UniqueSocket* GetDstSocket() override { return &destination_; }

 private:
  libmo::UniqueSocket source_, destination_;
};

// A signal that lands while a blocking send waits for buffer space makes the send return the part it has already
// queued: the pump must go on from the right offset. Linux only: there a thread can be signalled by its id.
TEST(Pump, InterruptedSendsContinueAtTheRightOffset) {
  testsupport::TestLogs logs;
  netutils::InitNet();
  struct sigaction handler {};
  handler.sa_handler = [](int) {};
  handler.sa_flags = SA_RESTART;  // a send that queued nothing yet starts over
  sigemptyset(&handler.sa_mask);
  struct sigaction previous {};
  ASSERT_EQ(0, ::sigaction(SIGUSR1, &handler, &previous));

  testsupport::LoopbackPair in = testsupport::MakeLoopbackPair(), out = testsupport::MakeLoopbackPair();
  const int small = 4096;
  ::setsockopt(out.client.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  ::setsockopt(out.server.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  netutils::SetReceiveTimeout(out.server.get(), 20000);  // lost bytes fail, never hang
  std::string data = testsupport::PatternBytes(96u << 10, 5);
  std::string got;
  {
    BarePump pump(in.server.Release(), out.client.Release());
    ASSERT_TRUE(pump.Start("PUMP"));
    unsigned pumpId = 0;
    ASSERT_TRUE(testsupport::WaitFor([&] { return (pumpId = testsupport::LoggedThreadId(logs.Events(), "PUMP", "Transport")) != 0; }));
    std::atomic<bool> done{false};
    std::thread interrupter([&] {
      while (!done.load()) {
        ::syscall(SYS_tgkill, ::getpid(), static_cast<pid_t>(pumpId), SIGUSR1);
        std::this_thread::yield();
      }
    });
    std::thread sender([&] { netutils::SendAll(in.client.get(), data.data(), static_cast<int>(data.size())); });
    char buffer[97];
    while (got.size() < data.size()) {
      const ssize_t n = ::recv(out.server.get(), buffer, sizeof buffer, 0);
      if (n <= 0) break;
      got.append(buffer, static_cast<size_t>(n));
    }
    done = true;
    interrupter.join();
    ::shutdown(in.client.get(), SHUT_RDWR);  // ends a sender stuck after lost bytes
    sender.join();
  }  // a signal still pending for the pump dies with its thread
  ::sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_TRUE(data == got) << got.size() << " of " << data.size() << " bytes";
  EXPECT_FALSE(testsupport::Contains(logs.Errors(), "SOCKET WRITE TO")) << logs.Errors();
  netutils::CleanupNet();
}

}  // namespace
#endif
