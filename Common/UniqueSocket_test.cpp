#include "Common/UniqueSocket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Common/log.h"
#include "Common/netUtils.h"
#include "Common/os.h"
#include "Common/socket_io.h"
#include "tests/support/loopback.h"
#include "tests/support/test_logs.h"
#include "tests/support/text.h"
#include "tests/support/thread_probe.h"

using libmo::UniqueSocket;
using testsupport::WaitFor;

namespace {

class Holder : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogLevel(1);
    netutils::InitNet();
    pair_ = testsupport::MakeLoopbackPair();
  }
  void TearDown() override {
    pair_ = testsupport::LoopbackPair();
    netutils::CleanupNet();
  }
  size_t CloseLines(SOCKET s) const {
    return testsupport::Occurrences(logs_.Events(), ": Close socket " + std::to_string(static_cast<int>(s)) + "\n");
  }

  testsupport::TestLogs logs_{"SOCK"};  // first: outlives everything that logs
  testsupport::LoopbackPair pair_;
};

// Closes from many threads shut the socket down once.
TEST_F(Holder, ConcurrentClosesCloseOnce) {
  const SOCKET s = pair_.client.Release();
  auto holder = std::make_shared<UniqueSocket>(s);
  std::vector<std::thread> closers;  // half close, half reset
  for (int i = 0; i < 8; ++i) closers.emplace_back([&, i] { i % 2 ? holder->Close() : holder->Reset(); });
  for (std::thread& t : closers) t.join();
  holder.reset();
  EXPECT_EQ(1u, CloseLines(s)) << logs_.Events();
  char byte = 0;
  EXPECT_EQ(0, ::recv(pair_.server.get(), &byte, 1, 0));
}

// Closing wakes a receive blocked on the holder; the handle stays allocated while the holder lives: none reuses it.
TEST_F(Holder, CloseWakesABlockedReceiveAndKeepsTheHandleUntilTheLastHolderGoes) {
  auto holder = std::make_shared<UniqueSocket>(pair_.client.Release());
  const SOCKET s = holder->socket();
  std::atomic<unsigned> tid{0};
  std::atomic<int> result{1};
  std::thread reader([&] {
    tid = libmo::os::CurrentThreadId();
    char byte = 0;
    result = netutils::Recv(*holder, &byte, 1);
  });
  ASSERT_TRUE(WaitFor([&] { return tid.load() != 0 && testsupport::Sleeps(tid.load()); }));
  holder->Close();
  EXPECT_TRUE(WaitFor([&] { return result.load() != 1; }));
  if (result.load() == 1) pair_.server.Reset();  // so that the join returns
  reader.join();
  EXPECT_EQ(0, result.load());

  std::vector<testsupport::OwnedSocket> fresh;
  for (int i = 0; i < 4; ++i) fresh.emplace_back(::socket(AF_INET, SOCK_STREAM, 0));
  for (const testsupport::OwnedSocket& f : fresh) EXPECT_NE(s, f.get());
  char byte = 0;
  EXPECT_EQ(0, ::recv(pair_.server.get(), &byte, 1, 0));  // the peer saw the end
}

}  // namespace
