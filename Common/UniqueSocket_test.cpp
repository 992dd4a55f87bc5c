#include "Common/UniqueSocket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Common/log.h"
#include "Common/netUtils.h"
#include "Common/os.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_logs.h"
#include "tests/support/text.h"
#include "tests/support/thread_probe.h"

using libmo::UniqueSocket;
using testsupport::LoopbackPair;
using testsupport::WaitFor;

namespace {

// Routes the logs into a temp folder, with socket closes logged (level 1),
// and starts the socket library for one test.
class Holder : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogLevel(1);
    netutils::InitNet();
    pair_ = testsupport::MakeLoopbackPair();
    errorsAtStart_ = logs_.Errors().size();
  }
  void TearDown() override {
    pair_ = LoopbackPair();
    netutils::CleanupNet();
  }
  std::string Events() const { return logs_.Events(); }
  // Error lines written since the set-up (LogInit writes one of its own).
  std::string Errors() const { return logs_.Errors().substr(errorsAtStart_); }

  // How often "Close socket <s>" was logged.
  size_t CloseLines(SOCKET s) const {
    return testsupport::Occurrences(Events(), ": Close socket " + std::to_string(static_cast<int>(s)) + "\n");
  }
  // True when the server side sees the end of the client's stream.
  bool PeerSeesClose() {
    char byte = 0;
    return ::recv(pair_.server.get(), &byte, 1, 0) <= 0;
  }
  // True when one byte sent on `s` reaches the server side.
  bool StillConnected(SOCKET s) {
    char byte = 0;
    return netutils::SendAll(s, "k", 1) && ::recv(pair_.server.get(), &byte, 1, 0) == 1 && byte == 'k';
  }

  testsupport::TestLogs logs_{"SOCK"};  // first: outlives everything that logs
  size_t errorsAtStart_ = 0;
  LoopbackPair pair_;
};

TEST_F(Holder, TheLastOwnerClosesOnceHoweverOftenItIsClosed) {
  const SOCKET s = pair_.client.Release();
  auto holder = std::make_shared<UniqueSocket>(s);
  EXPECT_TRUE(holder->IsOwnSocket());
  std::shared_ptr<UniqueSocket> other = holder;
  holder.reset();
  EXPECT_EQ(0u, CloseLines(s));
  EXPECT_TRUE(StillConnected(other->socket()));

  other->Close();
  EXPECT_EQ(INVALID_SOCKET, other->socket());
  other->Close();
  other->Reset();
  other.reset();
  EXPECT_EQ(1u, CloseLines(s)) << Events();
  EXPECT_TRUE(PeerSeesClose());
  EXPECT_EQ("", Errors());
}

TEST_F(Holder, CloseFromAnotherThreadWakesABlockedRecv) {
  auto holder = std::make_shared<UniqueSocket>(pair_.client.Release());
  std::atomic<unsigned> tid{0};
  std::atomic<bool> done{false};
  std::atomic<int> result{1};
  std::thread reader([&] {
    const SOCKET s = holder->socket();
    tid = libmo::os::CurrentThreadId();
    char byte = 0;
    result = static_cast<int>(::recv(s, &byte, 1, 0));
    done = true;
  });
  // Nothing was sent: the reader waits in recv until the close.
  EXPECT_TRUE(WaitFor([&] { return tid.load() != 0 && testsupport::Sleeps(tid.load()); }));
  EXPECT_FALSE(done.load());
  holder->Close();
  EXPECT_TRUE(WaitFor([&] { return done.load(); }));
  if (!done) pair_.server.Reset();  // last resort, so that the join returns
  reader.join();
  EXPECT_LE(result.load(), 0);
}

TEST_F(Holder, ConcurrentClosesCloseOnce) {
  const SOCKET s = pair_.client.Release();
  auto holder = std::make_shared<UniqueSocket>(s);
  constexpr int kThreads = 8;
  std::latch go(kThreads);
  std::vector<std::thread> closers;
  for (int i = 0; i < kThreads; ++i) {
    closers.emplace_back([&, holder] {
      go.arrive_and_wait();
      holder->Close();
    });
  }
  for (std::thread& t : closers) t.join();
  EXPECT_EQ(INVALID_SOCKET, holder->socket());
  EXPECT_EQ(1u, CloseLines(s)) << Events();
  EXPECT_TRUE(PeerSeesClose());
  EXPECT_EQ("", Errors());
}

TEST_F(Holder, NonOwningHolderForgetsTheSocketWithoutClosingIt) {
  const SOCKET s = pair_.client.get();
  auto holder = std::make_shared<UniqueSocket>(s, false);
  EXPECT_FALSE(holder->IsOwnSocket());
  holder->Close();
  EXPECT_EQ(INVALID_SOCKET, holder->socket());
  EXPECT_TRUE(holder->IsOwnSocket());
  const std::string failed = ": IsOwnSocket() func(libmo::UniqueSocket::Close UniqueSocket:73)\n";
  EXPECT_TRUE(testsupport::Contains(Errors(), failed)) << Errors();

  // Reset alone is no failed check; neither closes the handle.
  auto other = std::make_shared<UniqueSocket>(s, false);
  other->Reset();
  other.reset();
  holder.reset();
  EXPECT_EQ(0u, CloseLines(s)) << Events();
  EXPECT_TRUE(StillConnected(s));
  EXPECT_EQ(1u, testsupport::Occurrences(Errors(), failed)) << Errors();
}

TEST_F(Holder, MoveTakesTheHandleAndOwnership) {
  const SOCKET s = pair_.client.Release();
  UniqueSocket target(INVALID_SOCKET, false);
  {
    UniqueSocket source(s);
    UniqueSocket middle(std::move(source));
    EXPECT_EQ(INVALID_SOCKET, source.socket());
    target = std::move(middle);
    EXPECT_EQ(INVALID_SOCKET, middle.socket());
  }
  EXPECT_EQ(s, target.socket());
  EXPECT_TRUE(target.IsOwnSocket());
  EXPECT_TRUE(StillConnected(target.socket()));
  target.Close();
  EXPECT_EQ(1u, CloseLines(s)) << Events();
  EXPECT_TRUE(PeerSeesClose());
}

}  // namespace
