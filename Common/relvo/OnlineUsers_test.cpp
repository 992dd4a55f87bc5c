#include "Common/relvo/OnlineUsers.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Common/log.h"
#include "Common/netUtils.h"
#include "Common/relvo/CompletionThread.h"
#include "client/rv_config.h"  // TServer, a plain struct: no link dependency
#include "tests/support/loopback.h"
#include "tests/support/test_logs.h"
#include "tests/support/text.h"

using relvo::CEntry;
using testsupport::Contains;
using testsupport::Occurrences;

namespace {

// A table and its completion thread, stopped in the connector's order.
class Table : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { netutils::InitNet(); }
  static void TearDownTestSuite() { netutils::CleanupNet(); }
  void SetUp() override { completion_.SetOnlineUsers(&users_); }
  void TearDown() override {
    completion_.CompleteAll();
    completion_.Stop();
    completion_.Wake();
    completion_.Join();
    users_.Clear();
  }
  bool Logged(const std::string& line) {
    return testsupport::WaitFor([&] { return Contains(logs_.Events(), line); });
  }

  testsupport::TestLogs logs_;  // first member: outlives everything that logs
  relvo::CompletionThread completion_;
  relvo::OnlineUsers users_{&completion_};
};

TEST_F(Table, HoldsAThousandEntriesNumberedFromOneNeverReused) {
  std::vector<std::shared_ptr<CEntry>> entries;
  for (int i = 0; i < 1000; ++i) entries.push_back(users_.AllocEntry());
  ASSERT_EQ(1000, entries.back() ? entries.back()->uid : 0);
  EXPECT_TRUE(Logged(": [1000] New entry is assigned. [total:1000]\n"));
  EXPECT_EQ(nullptr, users_.AllocEntry());
  EXPECT_TRUE(Contains(logs_.Errors(), ": AllocEntry - not enough slots. Current number of connections: 1000\n"));

  users_.Remove(entries.front());
  entries.front().reset();
  EXPECT_TRUE(Logged(": [1] entry deleted.\n"));
  EXPECT_EQ(1001, users_.AllocEntry()->uid);
  EXPECT_THROW(users_.ForEach(nullptr), std::bad_function_call);
}

TEST(EntryNumbers, WrapToOneBeforeTheSignedRangeEnds) {
  EXPECT_EQ(2147483647, relvo::NextUid(2147483646));
  EXPECT_EQ(1, relvo::NextUid(2147483647));
}

// A clean end of one direction is passed on as a half close; the entry
// stays (and counts) until the other direction has ended too.
TEST_F(Table, HalfClosedEntryRelaysTheOtherWayUntilItEndsToo) {
  ASSERT_TRUE(completion_.Start("FIN"));
  testsupport::LoopbackPair proxy = testsupport::MakeLoopbackPair(), target = testsupport::MakeLoopbackPair();
  std::shared_ptr<CEntry> entry = users_.AllocEntry();
  entry->proxySocket = std::make_shared<libmo::UniqueSocket>(proxy.server.Release());
  entry->serverSocket = std::make_shared<libmo::UniqueSocket>(target.client.Release());
  entry->readThread.Start(entry);
  entry->writeThread.Start(entry);
  entry.reset();

  char buffer[16];
  ASSERT_EQ(7, ::send(proxy.client.get(), "request", 7, 0));
  ASSERT_EQ(0, ::shutdown(proxy.client.get(), SD_SEND));
  ASSERT_EQ(7, ::recv(target.server.get(), buffer, 7, MSG_WAITALL));
  EXPECT_EQ(0, ::recv(target.server.get(), buffer, sizeof buffer, 0));  // the end came through
  EXPECT_TRUE(Logged(":R[1]): Transport thread finished\n"));
  EXPECT_EQ(1, users_.GetCount());

  ASSERT_EQ(5, ::send(target.server.get(), "reply", 5, 0));
  ASSERT_EQ(0, ::shutdown(target.server.get(), SD_SEND));
  EXPECT_EQ(5, ::recv(proxy.client.get(), buffer, 5, MSG_WAITALL));
  EXPECT_EQ(0, ::recv(proxy.client.get(), buffer, sizeof buffer, 0));
  EXPECT_TRUE(Logged(":FIN): [1] entry deleted.\n")) << logs_.Events();
  EXPECT_EQ(2u, Occurrences(logs_.Errors(), "Reading failed. Connection closed by peer."));
}

}  // namespace
