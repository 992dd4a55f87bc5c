#include "Common/relvo/OnlineUsers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "Common/log.h"
#include "Common/relvo/CompletionThread.h"
#include "client/rv_config.h"  // TServer, a plain struct: no link dependency
#include "tests/support/temp_dir.h"
#include "tests/support/test_logs.h"
#include "tests/support/thread_probe.h"
#include "tests/support/text.h"

using relvo::CEntry;
using relvo::CompletionThread;
using relvo::OnlineUsers;
using relvo::TServer;
using testsupport::Contains;
using testsupport::InOrder;
using testsupport::LoggedThreadId;
using testsupport::Occurrences;
using testsupport::Sleeps;
using testsupport::WaitFor;

namespace {

std::vector<int32_t> Uids(const OnlineUsers& users) {
  std::vector<int32_t> uids;
  users.ForEach([&uids](std::shared_ptr<CEntry> entry) { uids.push_back(entry->uid); });
  return uids;
}

// A table without a running completion thread; the process-wide logs go to
// a fresh folder for each test.
class Table : public ::testing::Test {
 protected:
  void TearDown() override { users_.Clear(); }
  std::string Events() const { return logs_.Events(); }
  std::string Errors() const { return logs_.Errors(); }

  testsupport::TestLogs logs_;  // first member: outlives everything that logs
  CompletionThread completion_;
  OnlineUsers users_{&completion_};
};

TEST_F(Table, NumbersStartAtOneAndAreNeverReused) {
  std::shared_ptr<CEntry> first = users_.AllocEntry();
  std::shared_ptr<CEntry> second = users_.AllocEntry();
  std::shared_ptr<CEntry> third = users_.AllocEntry();
  ASSERT_TRUE(first && second && third);
  EXPECT_EQ((std::vector<int32_t>{1, 2, 3}), Uids(users_));
  EXPECT_TRUE(Contains(Events(), ": [3] New entry is assigned. [total:3]\n")) << Events();

  std::list<std::shared_ptr<CEntry>> removed = users_.Remove(second);
  ASSERT_EQ(1u, removed.size());
  EXPECT_EQ(second, removed.front());
  EXPECT_TRUE(users_.Remove(second).empty());
  EXPECT_EQ((std::vector<int32_t>{1, 3}), Uids(users_));  // table order
  EXPECT_THROW(users_.ForEach(nullptr), std::bad_function_call);

  users_.Remove(first);
  users_.Remove(third);
  EXPECT_EQ(0, users_.GetCount());
  first.reset();
  second.reset();
  third.reset();
  std::shared_ptr<CEntry> fourth = users_.AllocEntry();
  ASSERT_TRUE(fourth);
  EXPECT_EQ(4, fourth->uid);
  EXPECT_TRUE(Contains(Events(), ": [4] New entry is assigned. [total:1]\n")) << Events();
}

TEST(EntryNumbers, WrapToOneBeforeTheSignedRangeEnds) {
  using relvo::NextUid;
  EXPECT_EQ(2, NextUid(1));
  EXPECT_EQ(2147483647, NextUid(2147483646));
  EXPECT_EQ(1, NextUid(2147483647));
}

TEST_F(Table, HoldsAtMostAThousandEntries) {
  std::vector<std::shared_ptr<CEntry>> entries;
  for (int i = 0; i < 1000; ++i) entries.push_back(users_.AllocEntry());
  ASSERT_TRUE(entries.back());
  EXPECT_EQ(1000, entries.back()->uid);
  EXPECT_TRUE(Contains(Events(), ": [1000] New entry is assigned. [total:1000]\n"));

  EXPECT_EQ(nullptr, users_.AllocEntry());
  EXPECT_EQ(1000, users_.GetCount());
  EXPECT_TRUE(Contains(Errors(), ": AllocEntry - not enough slots. Current number of connections: 1000\n"))
      << Errors();
  EXPECT_FALSE(Contains(Events(), "[1001] New entry"));

  // A freed slot can be taken again, with a new number.
  users_.Remove(entries[499]);
  std::shared_ptr<CEntry> again = users_.AllocEntry();
  ASSERT_TRUE(again);
  EXPECT_EQ(1001, again->uid);
  EXPECT_TRUE(Contains(Events(), ": [1001] New entry is assigned. [total:1000]\n"));
}

TEST_F(Table, CountByServerCountsOnlyEntriesOfThatVeryServer) {
  auto alpha = std::make_shared<TServer>();
  alpha->name = "alpha";
  alpha->address = "127.0.0.1";
  alpha->port = 7001;
  auto twin = std::make_shared<TServer>(*alpha);  // equal fields, other object
  auto beta = std::make_shared<TServer>();
  beta->name = "beta";

  std::shared_ptr<CEntry> a1 = users_.AllocEntry();
  std::shared_ptr<CEntry> a2 = users_.AllocEntry();
  std::shared_ptr<CEntry> b1 = users_.AllocEntry();
  std::shared_ptr<CEntry> unset = users_.AllocEntry();
  a1->server = alpha;
  a2->server = alpha;
  b1->server = beta;

  EXPECT_EQ(2, users_.CountByServer(alpha.get()));
  EXPECT_EQ(1, users_.CountByServer(beta.get()));
  EXPECT_EQ(0, users_.CountByServer(twin.get()));
  EXPECT_EQ(0, users_.CountByServer(nullptr));

  // Once the server is released, entries that point to it count for nothing.
  // (make_shared keeps the storage while weak references exist, so the
  // address stays a valid value to compare with.)
  const TServer* released = beta.get();
  beta.reset();
  EXPECT_EQ(0, users_.CountByServer(released));

  // Entries that left the table are not counted.
  users_.Remove(a2);
  EXPECT_EQ(1, users_.CountByServer(alpha.get()));
}

TEST_F(Table, ClearReleasesTheTablesReferences) {
  std::weak_ptr<CEntry> first = users_.AllocEntry();
  std::shared_ptr<CEntry> second = users_.AllocEntry();
  std::weak_ptr<CEntry> third = users_.AllocEntry();

  users_.Clear();
  EXPECT_EQ(0, users_.GetCount());
  EXPECT_TRUE(first.expired());
  EXPECT_TRUE(third.expired());
  const std::string events = Events();
  EXPECT_TRUE(Contains(events, ":TEST): [1] entry deleted.\n")) << events;
  EXPECT_TRUE(Contains(events, ":TEST): [3] entry deleted.\n")) << events;
  EXPECT_FALSE(Contains(events, "[2] entry deleted."));

  // A reference held elsewhere keeps its entry until it is dropped.
  second.reset();
  EXPECT_TRUE(Contains(Events(), ":TEST): [2] entry deleted.\n"));
}

// A table and its completion thread, stopped in the connector's order at
// the end of each test.
class Completion : public ::testing::Test {
 protected:
  void SetUp() override { completion_.SetOnlineUsers(&users_); }
  void TearDown() override {
    StopCompletion();
    users_.Clear();
  }
  std::string Events() const { return logs_.Events(); }

  // Starts the thread and returns its id once it has started.
  unsigned StartCompletion() {
    EXPECT_TRUE(completion_.Start("FIN"));
    EXPECT_TRUE(WaitFor([this] { return LoggedThreadId(Events(), "FIN", "Start completion thread.\n") != 0; }))
        << Events();
    return LoggedThreadId(Events(), "FIN", "Start completion thread.\n");
  }
  void StopCompletion() {
    completion_.CompleteAll();
    completion_.Stop();
    completion_.Wake();
    completion_.Join();
  }
  bool Logged(const std::string& line, size_t times = 1) {
    return WaitFor([&] { return Occurrences(Events(), line) >= times; });
  }

  testsupport::TestLogs logs_;  // first member: outlives everything that logs
  std::atomic<int> finished_{0};
  CompletionThread completion_{[this] {
    ++finished_;
    LogEvent("finished callback");
  }};
  OnlineUsers users_{&completion_};
};

TEST_F(Completion, ReapsEachHandedOverEntryOnceOnItsOwnThread) {
  StartCompletion();
  std::shared_ptr<CEntry> first = users_.AllocEntry();
  std::weak_ptr<CEntry> second = users_.AllocEntry();  // the table's reference is the only one
  std::shared_ptr<CEntry> third = users_.AllocEntry();

  completion_.AddEntry(second);
  ASSERT_TRUE(Logged(":FIN): Online users count: 2\n")) << Events();
  EXPECT_TRUE(second.expired());
  EXPECT_EQ((std::vector<int32_t>{1, 3}), Uids(users_));
  EXPECT_TRUE(InOrder(Events(), {":FIN): [2] entry deleted.\n", ":FIN): Online users count: 2\n"})) << Events();

  // A second hand-over finds nothing left to reap; its pass only counts.
  completion_.AddEntry(second);
  ASSERT_TRUE(Logged(":FIN): Online users count: 2\n", 2)) << Events();
  EXPECT_EQ((std::vector<int32_t>{1, 3}), Uids(users_));

  // Both pumps of an entry hand it over, often back to back.
  std::weak_ptr<CEntry> weakFirst = first;
  first.reset();
  completion_.AddEntry(weakFirst);
  completion_.AddEntry(weakFirst);
  ASSERT_TRUE(Logged(":FIN): Online users count: 1\n")) << Events();
  EXPECT_TRUE(weakFirst.expired());
  EXPECT_EQ((std::vector<int32_t>{3}), Uids(users_));
  const std::string events = Events();
  EXPECT_EQ(1u, Occurrences(events, "[1] entry deleted.")) << events;
  EXPECT_EQ(1u, Occurrences(events, "[2] entry deleted.")) << events;
}

TEST_F(Completion, StopWithAnEmptyTableWritesOneLastCountAndRunsTheCallback) {
  const unsigned tid = StartCompletion();
  ASSERT_TRUE(WaitFor([tid] { return Sleeps(tid); })) << "thread " << tid << " never went to sleep";
  ASSERT_EQ(0u, Occurrences(Events(), "Online users count:"));

  StopCompletion();
  const std::string events = Events();
  EXPECT_EQ(1u, Occurrences(events, "Online users count:")) << events;
  EXPECT_TRUE(InOrder(events, {":FIN): Online users count: 0\n", ":FIN): Completion thread stopped.\n",
                              ":FIN): finished callback\n"}))
      << events;
  EXPECT_EQ(1, finished_.load());
}

}  // namespace
