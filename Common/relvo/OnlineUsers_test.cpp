#include "Common/relvo/OnlineUsers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <thread>
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
using testsupport::LoggedThreadId;
using testsupport::Occurrences;
using testsupport::ReadFile;
using testsupport::Sleeps;
using testsupport::WaitFor;

namespace {

std::vector<int32_t> Uids(const OnlineUsers& users) {
  std::vector<int32_t> uids;
  users.ForEach([&uids](std::shared_ptr<CEntry> entry) { uids.push_back(entry->uid); });
  return uids;
}

// The process-wide logs go to a fresh folder for each test.
class RelayLogs : public ::testing::Test {
 protected:
  std::string Events() const { return logs_.Events(); }
  std::string Errors() const { return logs_.Errors(); }

  testsupport::TestLogs logs_;  // first member: outlives everything that logs
};

using Table = RelayLogs;

TEST_F(Table, NumbersStartAtOneAndAreNeverReused) {
  CompletionThread completion;
  OnlineUsers users(&completion);
  std::shared_ptr<CEntry> first = users.AllocEntry();
  std::shared_ptr<CEntry> second = users.AllocEntry();
  std::shared_ptr<CEntry> third = users.AllocEntry();
  ASSERT_TRUE(first && second && third);
  EXPECT_EQ(1, first->uid);
  EXPECT_EQ(2, second->uid);
  EXPECT_EQ(3, third->uid);
  EXPECT_EQ(3, users.GetCount());
  EXPECT_NE(std::string::npos, Events().find(": [3] New entry is assigned. [total:3]\n")) << Events();

  // A new entry is idle: no server, no sockets, pumps not started.
  EXPECT_EQ(nullptr, first->server.lock());
  EXPECT_EQ(nullptr, first->proxySocket);
  EXPECT_EQ(nullptr, first->serverSocket);
  EXPECT_EQ(first, first->shared_from_this());

  std::list<std::shared_ptr<CEntry>> removed = users.Remove(second);
  ASSERT_EQ(1u, removed.size());
  EXPECT_EQ(second, removed.front());
  EXPECT_TRUE(users.Remove(second).empty());
  EXPECT_EQ((std::vector<int32_t>{1, 3}), Uids(users));

  users.Remove(first);
  users.Remove(third);
  EXPECT_EQ(0, users.GetCount());
  first.reset();
  second.reset();
  third.reset();

  std::shared_ptr<CEntry> fourth = users.AllocEntry();
  ASSERT_TRUE(fourth);
  EXPECT_EQ(4, fourth->uid);
  EXPECT_NE(std::string::npos, Events().find(": [4] New entry is assigned. [total:1]\n")) << Events();
  users.Clear();
}

TEST_F(Table, HoldsAtMostAThousandEntries) {
  CompletionThread completion;
  OnlineUsers users(&completion);
  std::vector<std::shared_ptr<CEntry>> entries;
  for (int i = 0; i < 999; ++i) entries.push_back(users.AllocEntry());
  ASSERT_EQ(999, users.GetCount());

  std::shared_ptr<CEntry> last = users.AllocEntry();
  ASSERT_TRUE(last);
  EXPECT_EQ(1000, last->uid);
  EXPECT_NE(std::string::npos, Events().find(": [1000] New entry is assigned. [total:1000]\n"));

  EXPECT_EQ(nullptr, users.AllocEntry());
  EXPECT_EQ(1000, users.GetCount());
  EXPECT_NE(std::string::npos,
            Errors().find(": AllocEntry - not enough slots. Current number of connections: 1000\n"))
      << Errors();
  EXPECT_EQ(std::string::npos, Events().find("[1001] New entry"));

  // A freed slot can be taken again, with a new number.
  users.Remove(entries[499]);
  std::shared_ptr<CEntry> again = users.AllocEntry();
  ASSERT_TRUE(again);
  EXPECT_EQ(1001, again->uid);
  EXPECT_NE(std::string::npos, Events().find(": [1001] New entry is assigned. [total:1000]\n"));
  users.Clear();
}

TEST_F(Table, CountByServerCountsOnlyEntriesOfThatVeryServer) {
  CompletionThread completion;
  OnlineUsers users(&completion);
  auto alpha = std::make_shared<TServer>();
  alpha->name = "alpha";
  alpha->address = "127.0.0.1";
  alpha->port = 7001;
  auto twin = std::make_shared<TServer>(*alpha);  // equal fields, other object
  auto beta = std::make_shared<TServer>();
  beta->name = "beta";

  std::shared_ptr<CEntry> a1 = users.AllocEntry();
  std::shared_ptr<CEntry> a2 = users.AllocEntry();
  std::shared_ptr<CEntry> b1 = users.AllocEntry();
  std::shared_ptr<CEntry> unset = users.AllocEntry();
  a1->server = alpha;
  a2->server = alpha;
  b1->server = beta;

  EXPECT_EQ(2, users.CountByServer(alpha.get()));
  EXPECT_EQ(1, users.CountByServer(beta.get()));
  EXPECT_EQ(0, users.CountByServer(twin.get()));

  // Once the server is released, entries that point to it count for nothing.
  // (make_shared keeps the storage while weak references exist, so the
  // address stays a valid value to compare with.)
  const TServer* released = beta.get();
  beta.reset();
  EXPECT_EQ(0, users.CountByServer(released));
  EXPECT_EQ(2, users.CountByServer(alpha.get()));

  // Entries that left the table are not counted.
  users.Remove(a2);
  EXPECT_EQ(1, users.CountByServer(alpha.get()));
  users.Clear();
}

TEST_F(Table, ForEachWalksInTableOrderAndRejectsAnEmptyFunction) {
  CompletionThread completion;
  OnlineUsers users(&completion);
  EXPECT_THROW(users.ForEach(nullptr), std::bad_function_call);

  std::vector<std::shared_ptr<CEntry>> entries;
  for (int i = 0; i < 4; ++i) entries.push_back(users.AllocEntry());
  users.Remove(entries[1]);
  std::vector<std::shared_ptr<CEntry>> seen;
  users.ForEach([&seen](std::shared_ptr<CEntry> entry) { seen.push_back(std::move(entry)); });
  EXPECT_EQ((std::vector<std::shared_ptr<CEntry>>{entries[0], entries[2], entries[3]}), seen);

  const std::function<void(std::shared_ptr<CEntry>)> empty;
  EXPECT_THROW(users.ForEach(empty), std::bad_function_call);
  EXPECT_EQ(3, users.GetCount());
  users.Clear();
}

TEST_F(Table, ClearReleasesTheTablesReferences) {
  SetLogLevel(2);
  CompletionThread completion;
  OnlineUsers users(&completion);
  std::weak_ptr<CEntry> first = users.AllocEntry();
  std::shared_ptr<CEntry> second = users.AllocEntry();
  std::weak_ptr<CEntry> third = users.AllocEntry();

  users.Clear();
  EXPECT_EQ(0, users.GetCount());
  EXPECT_TRUE(first.expired());
  EXPECT_TRUE(third.expired());
  std::string events = Events();
  const size_t stopping = events.find(": StopWork for user 1 ...\n");
  const size_t stopped = events.find(": StopWork for user 1 done.\n");
  const size_t deleted = events.find(":TEST): [1] entry deleted.\n");
  ASSERT_NE(std::string::npos, deleted) << events;
  EXPECT_LT(stopping, stopped);
  EXPECT_LT(stopped, deleted);
  EXPECT_NE(std::string::npos, events.find(":TEST): [3] entry deleted.\n"));
  EXPECT_EQ(std::string::npos, events.find("[2] entry deleted."));

  // A reference held elsewhere keeps its entry until it is dropped.
  EXPECT_EQ(2, second->uid);
  second.reset();
  EXPECT_NE(std::string::npos, Events().find(":TEST): [2] entry deleted.\n"));
}

// A table and its completion thread, stopped in the connector's order at
// the end of each test.
class Completion : public RelayLogs {
 protected:
  void SetUp() override { completion_.SetOnlineUsers(&users_); }
  void TearDown() override {
    StopCompletion();
    users_.Clear();
  }

  // Starts the thread and returns its id once it has started.
  unsigned StartCompletion() {
    EXPECT_TRUE(completion_.Start("FIN"));
    EXPECT_TRUE(WaitFor([this] { return LoggedThreadId(Events(), "FIN", "Start completion thread.\n") != 0; }))
        << Events();
    return LoggedThreadId(Events(), "FIN", "Start completion thread.\n");
  }
  // Waits until the idle thread is asleep in its wait for work.
  void WaitUntilIdle(unsigned tid) {
    ASSERT_TRUE(WaitFor([tid] { return Sleeps(tid); })) << "thread " << tid << " never went to sleep";
  }
  void StopCompletion() {
    completion_.CompleteAll();
    completion_.Stop();
    completion_.Wake();
    completion_.Join();
  }
  void OnFinished() {
    ++finished_;
    LogEvent("finished callback");
  }

  std::atomic<int> finished_{0};
  CompletionThread completion_{[this] { OnFinished(); }};
  OnlineUsers users_{&completion_};
};

TEST_F(Completion, ReapsAHandedOverEntryOnItsOwnThread) {
  StartCompletion();
  std::shared_ptr<CEntry> first = users_.AllocEntry();
  std::shared_ptr<CEntry> second = users_.AllocEntry();
  std::shared_ptr<CEntry> third = users_.AllocEntry();
  std::weak_ptr<CEntry> handed = second;
  second.reset();  // the table's reference is now the only one

  completion_.AddEntry(handed);
  ASSERT_TRUE(WaitFor([this] { return Events().find(":FIN): Online users count: 2\n") != std::string::npos; }))
      << Events();
  EXPECT_TRUE(handed.expired());
  EXPECT_EQ((std::vector<int32_t>{1, 3}), Uids(users_));
  const std::string events = Events();
  const size_t deleted = events.find(":FIN): [2] entry deleted.\n");
  ASSERT_NE(std::string::npos, deleted) << events;
  EXPECT_LT(deleted, events.find(":FIN): Online users count: 2\n"));

  // Numbers of entries that ended are not given out again.
  std::weak_ptr<CEntry> weakFirst = first, weakThird = third;
  first.reset();
  third.reset();
  completion_.AddEntry(weakFirst);
  completion_.AddEntry(weakThird);
  ASSERT_TRUE(WaitFor([&] { return weakFirst.expired() && weakThird.expired() && users_.GetCount() == 0; }));
  std::shared_ptr<CEntry> next = users_.AllocEntry();
  ASSERT_TRUE(next);
  EXPECT_EQ(4, next->uid);
}

TEST_F(Completion, AnEntryHandedOverTwiceIsRemovedOnce) {
  StartCompletion();
  std::weak_ptr<CEntry> first = users_.AllocEntry();
  std::shared_ptr<CEntry> second = users_.AllocEntry();
  const std::string countLine = ":FIN): Online users count: 1\n";

  completion_.AddEntry(first);
  ASSERT_TRUE(WaitFor([&] { return Occurrences(Events(), countLine) == 1; })) << Events();
  EXPECT_TRUE(first.expired());

  // The second hand-over finds nothing left to reap; its pass only counts.
  completion_.AddEntry(first);
  ASSERT_TRUE(WaitFor([&] { return Occurrences(Events(), countLine) == 2; })) << Events();
  EXPECT_EQ(1, Occurrences(Events(), "[1] entry deleted."));
  EXPECT_EQ((std::vector<int32_t>{2}), Uids(users_));

  // Both pumps of an entry hand it over, often back to back.
  std::weak_ptr<CEntry> weakSecond = second;
  second.reset();
  completion_.AddEntry(weakSecond);
  completion_.AddEntry(weakSecond);
  ASSERT_TRUE(WaitFor([&] { return Events().find(":FIN): Online users count: 0\n") != std::string::npos; }));
  EXPECT_TRUE(weakSecond.expired());
  EXPECT_EQ(1, Occurrences(Events(), "[2] entry deleted."));
}

TEST_F(Completion, StopWithAnEmptyTableWritesOneLastCountAndRunsTheCallback) {
  WaitUntilIdle(StartCompletion());
  ASSERT_EQ(0, Occurrences(Events(), "Online users count:"));

  StopCompletion();
  const std::string events = Events();
  EXPECT_EQ(1, Occurrences(events, "Online users count:")) << events;
  const size_t count = events.find(":FIN): Online users count: 0\n");
  const size_t stopped = events.find(":FIN): Completion thread stopped.\n");
  const size_t callback = events.find(":FIN): finished callback\n");
  ASSERT_NE(std::string::npos, count) << events;
  ASSERT_NE(std::string::npos, callback) << events;
  EXPECT_LT(count, stopped);
  EXPECT_LT(stopped, callback);
  EXPECT_EQ(1, finished_.load());
}

TEST_F(Completion, StopReapsEveryEntryOfTheTable) {
  const unsigned tid = StartCompletion();
  std::vector<std::weak_ptr<CEntry>> entries;
  for (int i = 0; i < 3; ++i) entries.push_back(users_.AllocEntry());
  WaitUntilIdle(tid);

  StopCompletion();
  for (const std::weak_ptr<CEntry>& entry : entries) EXPECT_TRUE(entry.expired());
  EXPECT_EQ(0, users_.GetCount());
  const std::string events = Events();
  for (int uid = 1; uid <= 3; ++uid) {
    EXPECT_NE(std::string::npos, events.find(":FIN): [" + std::to_string(uid) + "] entry deleted.\n")) << events;
  }
  EXPECT_EQ(1, Occurrences(events, "Online users count:")) << events;
  EXPECT_NE(std::string::npos, events.find(":FIN): Online users count: 0\n"));
  EXPECT_EQ(1, finished_.load());
}

}  // namespace
