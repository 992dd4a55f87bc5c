#include "Common/relvo/OnlineUsers.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Common/log.h"
#include "Common/netUtils.h"
#include "Common/native_thread.h"
#include "Common/relvo/CompletionThread.h"
#include "Common/relvo/entry_timeouts.h"
#include "Common/reused_thread.h"
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

// Pump threads are named after the entry number modulo 10000. A pump that the system refuses a thread fails the entry's
// start with a text naming it, and the entry still ends cleanly. First of the pumps' tests: no parked thread may stand
// in for the refused one.
TEST_F(Table, PumpThreadsAreNamedModulo10000AndARefusedOneFailsCleanly) {
  ASSERT_TRUE(testsupport::WaitFor([] { return libmo::ReusedThread::ParkedCount() == 0; }));
  for (const int32_t uid : {12345, 10000}) {
    testsupport::LoopbackPair proxy = testsupport::MakeLoopbackPair(), target = testsupport::MakeLoopbackPair();
    auto entry = std::make_shared<CEntry>(uid, &completion_);
    entry->proxySocket = std::make_shared<libmo::UniqueSocket>(proxy.server.Release());
    entry->serverSocket = std::make_shared<libmo::UniqueSocket>(target.client.Release());
    entry->readThread.Start(entry);
    const std::string n = std::to_string(uid % 10000) + "]";
    EXPECT_EQ("R[" + n, entry->readThread.Name());
    if (uid == 12345) libmo::NativeThread::SetAdmission([] { return false; });
    std::string refused = "started";
    try {
      entry->writeThread.Start(entry);
      EXPECT_EQ("W[" + n, entry->writeThread.Name());
    } catch (const std::runtime_error& e) {
      refused = e.what();
    }
    libmo::NativeThread::SetAdmission(nullptr);
    EXPECT_EQ(uid == 12345, Contains(refused, "[12345] Thread W[2345] is not started: ")) << refused;
    EXPECT_EQ(uid == 12345, Contains(refused, "func(WriteClientThread::Start WriteClientThread:14)")) << refused;
  }
  EXPECT_TRUE(Logged(": [12345] entry deleted.\n"));
  EXPECT_TRUE(Logged(":R[0]): Transport thread started"));
  EXPECT_TRUE(Logged(":W[0]): Transport thread started"));
}

TEST(EntryTimeouts, HalfCloseCountsFromTheLaterOfItsEndAndTheLastByteIdleFromTheLastByte) {
  using relvo::Expiry;
  relvo::EntryActivity a;
  int64_t silent = 0;
  const int64_t ms = 1000000;
  EXPECT_EQ(Expiry::kNone, relvo::ExpiryOf(a, 99999 * ms, 1000, 1000, &silent));  // pumps not started
  a.lastByteNs = 10 * ms;
  EXPECT_EQ(Expiry::kNone, relvo::ExpiryOf(a, 1009 * ms, 0, 1000, &silent));
  EXPECT_EQ(Expiry::kIdle, relvo::ExpiryOf(a, 1010 * ms, 0, 1000, &silent));
  EXPECT_EQ(1000, silent);
  a.halfClosedNs = 500 * ms;
  EXPECT_EQ(Expiry::kNone, relvo::ExpiryOf(a, 1499 * ms, 1000, 0, &silent));
  EXPECT_EQ(Expiry::kHalfClose, relvo::ExpiryOf(a, 1500 * ms, 1000, 5000, &silent));
  EXPECT_EQ(std::chrono::milliseconds(50), relvo::SweepInterval(0, 300));
  EXPECT_EQ(std::chrono::milliseconds(600), relvo::SweepInterval(6000, 60000));
  EXPECT_EQ(std::chrono::milliseconds(1000), relvo::SweepInterval(0, 0));
}

TEST(EntryNumbers, WrapToOneBeforeTheSignedRangeEnds) {
  EXPECT_EQ(2147483647, relvo::NextUid(2147483646));
  EXPECT_EQ(1, relvo::NextUid(2147483647));
}

// A clean end of one direction is passed on as a half close; the entry stays (and counts) until the other one ends too.
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
