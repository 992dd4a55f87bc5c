// Hostile peers of relvoclient, end to end: a dead target server, peers that go silent, a proxy that floods unknown
// codes, a client that trickles, a task limit that refuses threads. In each case a well-behaved client is still served
// within a bound, and the connector stops within 2 s.
#include <unistd.h>

#include <filesystem>

#include "tests/support/relay_fixture.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

constexpr auto kServed = 10s;  // a well-behaved client's echo, Wine included

// A pids cgroup of the test's own (root only; the version 1 hierarchy, or version 2 with the controller on) that holds
// the connector: a task limit like systemd's TasksMax. Removed once the connector is gone.
struct TaskLimit {
  const std::string root = fs::exists("/sys/fs/cgroup/pids") ? "/sys/fs/cgroup/pids" : "/sys/fs/cgroup";
  const std::string group = root + "/relvo-hostile-" + std::to_string(::getpid());
  bool Made() {
    std::error_code ec;
    return (root != "/sys/fs/cgroup" || Contains(ReadFile(root + "/cgroup.subtree_control"), "pids")) &&
           fs::create_directory(group, ec) && fs::exists(group + "/pids.max");
  }
  void Hold(pid_t pid) {
    WriteFile(group + "/cgroup.procs", std::to_string(pid));
    WriteFile(group + "/pids.max", "1");  // the threads it has, and no new one
  }
  ~TaskLimit() {
    std::error_code ec;
    fs::remove(group, ec);
  }
};

class ConnectorHostile : public RelayFixture {
 protected:
  void TearDown() override;
  // A well-behaved client on `transport` (to an echoing target).
  void ExpectServed(size_t transport, const std::string& bytes) {
    ASSERT_TRUE(proxy->Send(transport, bytes));
    EXPECT_TRUE(proxy->WaitForReceived(transport, bytes.size(), kServed)) << Events();
    EXPECT_EQ(bytes, proxy->Connection(transport).afterHandshake);
  }
  std::optional<TaskLimit> limit;  // removed after the client is gone
};

// The first server refuses connections: after its first failure it is set aside; clients go to the second, with room.
TEST_F(ConnectorHostile, ADeadFirstTargetIsSetAsideAndClientsGoToTheSecond) {
  const uint16_t dead = ClosedLoopbackPort();
  RelayTarget& live = AddTarget();
  ASSERT_NO_FATAL_FAILURE(Start({{"a_dead", dead}, {"b_live", live.port()}}));
  EXPECT_EQ(kNotCreated, CreateTransport().first);
  // The dead one is retried once its time aside (1 s, then 2, 4 ...) is over: a slow machine may meet it again, a few
  // times at most.
  size_t served = 0, refused = 1;
  while (served < 3 && refused < 6) {
    const auto [answer, transport] = CreateTransport();
    if (answer != kCreated) {
      ++refused;
      continue;
    }
    ASSERT_NO_FATAL_FAILURE(ExpectServed(transport, "client " + std::to_string(served++)));
  }
  EXPECT_EQ(3u, served) << Errors();
  const std::string aside = "Target server [a_dead] 127.0.0.1:" + std::to_string(dead) + " is set aside for ";
  EXPECT_EQ(refused, Occurrences(Errors(), aside)) << Errors();
  EXPECT_TRUE(Contains(Errors(), aside + "1000 ms after a failed connect.\n")) << Errors();
  ASSERT_NO_FATAL_FAILURE(StopPromptly());
}

// Entry 1 is half closed by its client and its target stays open and silent; entry 3 carries nothing at all. Both end
// after their time-outs; entry 2 is served meanwhile.
TEST_F(ConnectorHostile, SilentEntriesEndAfterTheirTimeOutsWhileOthersAreServed) {
  LoopbackListener silent;  // accepts, and its connections stay open and silent
  RelayTarget& echo = AddTarget();
  general = "halfclose_tmo=1000\nidle_tmo=3000\n";
  ASSERT_NO_FATAL_FAILURE(Start({{"a_silent", silent.port()}, {"b_echo", echo.port()}}));
  std::vector<size_t> transports;
  for (int i = 0; i < 3; ++i) {
    const auto [answer, transport] = CreateTransport();
    ASSERT_EQ(kCreated, answer) << Errors();
    transports.push_back(transport);
  }
  OwnedSocket first = silent.Accept(), third = silent.Accept();
  ASSERT_TRUE(proxy->Send(transports[0], "last words"));
  ASSERT_TRUE(proxy->Close(transports[0]));
  char words[16] = {};
  EXPECT_EQ(10, ::recv(first.get(), words, 10, MSG_WAITALL));
  EXPECT_EQ(0, ::recv(first.get(), words, sizeof words, 0));  // the half close came through
  ASSERT_NO_FATAL_FAILURE(ExpectServed(transports[1], "well-behaved"));

  ASSERT_TRUE(EventsHave("[1] entry deleted.")) << Events();
  const std::string halfClosed = "[1] Entry ended: no byte for ";
  EXPECT_TRUE(Contains(Events(), " ms after one direction ended (halfclose_tmo 1000 ms).\n")) << Events();
  EXPECT_GE(LineTime(Events(), halfClosed) - LineTime(Events(), ":R[1]): Transport thread finished"), 900);
  ASSERT_TRUE(proxy->WaitForClosed(transports[2])) << Events();
  const ProxyConnection idle = proxy->Connection(transports[2]);
  EXPECT_GE(idle.closedAt - idle.accepted, 2900ms);  // another process's clock, maybe Wine's
  EXPECT_TRUE(EventsHave("[3] Entry ended: no byte either way for ")) << Events();
  EXPECT_TRUE(Contains(Events(), " ms (idle_tmo 3000 ms).\n")) << Events();
  ASSERT_NO_FATAL_FAILURE(StopPromptly());
}

// The proxy floods the command connection with unknown codes and then sends a create-transport command in two segments:
// one line for the first code, a count for the rest, and the command is answered and served.
TEST_F(ConnectorHostile, AFloodOfUnknownCodesIsCountedNotLoggedOneByOne) {
  RelayTarget& echo = AddTarget();
  std::string flood;
  for (int i = 0; i < 5000; ++i) flood += relvo::wire::Word(7);
  ProxyScript script;
  script.commandScripts = {{ProxyStep::Send(flood), ProxyStep::Send(kCreateTransport.substr(0, 1)),
                            ProxyStep::Wait(300ms), ProxyStep::Send(kCreateTransport.substr(1))}};
  ASSERT_NO_FATAL_FAILURE(Start({{"echo", echo.port()}}, script));
  ASSERT_TRUE(proxy->WaitForReceived(command, 2, kSoon)) << Events();
  EXPECT_EQ(kCreated, proxy->Connection(command).afterHandshake);
  ASSERT_TRUE(proxy->WaitUntil([](const auto& all) { return all.size() > 1 && all[1].Handshaken(); }));
  ASSERT_NO_FATAL_FAILURE(ExpectServed(1, "after the flood"));
  ASSERT_NO_FATAL_FAILURE(StopPromptly());
  EXPECT_EQ(1u, Occurrences(Errors(), "Receive unknown command 7\n")) << Errors().substr(0, 2000);
  EXPECT_EQ(1u, Occurrences(Errors(), "Receive unknown command: 4999 more on this connection\n"));
}

// One client sends a byte a second: every byte is relayed, and another client is served while it trickles.
TEST_F(ConnectorHostile, AClientSendingAByteASecondIsRelayedAndHoldsNoOneUp) {
  RelayTarget& echo = AddTarget();
  const std::string trickle = "slowpeer";
  ProxyScript script;
  script.transportScripts = {{ProxyStep::Send(trickle.substr(0, 1))}, {}};
  for (char c : trickle.substr(1)) {
    script.transportScripts[0].push_back(ProxyStep::Wait(1s));
    script.transportScripts[0].push_back(ProxyStep::Send(std::string(1, c)));
  }
  ASSERT_NO_FATAL_FAILURE(Start({{"echo", echo.port()}}, script));
  const auto [slowAnswer, slow] = CreateTransport();
  ASSERT_EQ(kCreated, slowAnswer) << Errors();
  const auto [quickAnswer, quick] = CreateTransport();
  ASSERT_EQ(kCreated, quickAnswer) << Errors();
  ASSERT_NO_FATAL_FAILURE(ExpectServed(quick, "not held up"));
  EXPECT_FALSE(proxy->Connection(slow).scriptDone) << "served only after the trickle ended";
  ASSERT_TRUE(proxy->WaitForReceived(slow, trickle.size(), kSoon)) << Events();
  EXPECT_EQ(trickle, proxy->Connection(slow).afterHandshake);
  ASSERT_NO_FATAL_FAILURE(StopPromptly());
}

void ConnectorHostile::TearDown() {
  RelayFixture::TearDown();
  client.reset();
  limit.reset();
}

// The system refuses the pumps' threads: that command is answered 00 00 and the connector goes on; once threads are
// available again, tunnels work. The Linux build only, where the test may make a pids cgroup.
TEST_F(ConnectorHostile, RefusedPumpThreadsCostOnlyTheirTunnel) {
  TaskLimit& limit = this->limit.emplace();
  if (!limit.Made()) GTEST_SKIP() << "needs a pids cgroup of its own (root)";
  RelayTarget& echo = AddTarget();
  ASSERT_NO_FATAL_FAILURE(Start({{"echo", echo.port()}}));
  limit.Hold(client->pid());
  EXPECT_EQ(kNotCreated, CreateTransport().first);
  EXPECT_TRUE(EventsHave("[1] entry deleted.")) << Errors();
  EXPECT_TRUE(Contains(Errors(), "[1] Thread R[1] is not started: ")) << Errors();  // the first pump
  WriteFile(limit.group + "/pids.max", "max");
  const auto [answer, transport] = CreateTransport();
  ASSERT_EQ(kCreated, answer) << Errors();
  ASSERT_NO_FATAL_FAILURE(ExpectServed(transport, "threads again"));
  ASSERT_NO_FATAL_FAILURE(StopPromptly());
}

}  // namespace
