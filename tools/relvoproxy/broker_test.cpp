#include "tools/relvoproxy/broker.h"

#include <gtest/gtest.h>

#include <ostream>

namespace relvoproxy {

void PrintTo(const BrokerAction& a, std::ostream* out) {
  static const char* const kKinds[] = {"SendCreate", "SendPing", "Pair", "CloseClient", "CloseTransport",
                                       "CloseCommand"};
  *out << kKinds[static_cast<int>(a.kind)] << "(command " << a.command << ", client " << a.client << ", transport "
       << a.transport << ", " << EndReasonText(a.reason) << ")";
}

namespace {

using namespace std::chrono_literals;
using Kind = BrokerAction::Kind;
using Actions = std::vector<BrokerAction>;

constexpr auto kPing = 5s;
constexpr auto kTimeout = 10s;
const Clock::time_point t0 = Clock::time_point() + 1h;

BrokerAction Create(ConnectionId command, ConnectionId client) { return {Kind::kSendCreate, command, client, 0}; }
BrokerAction Ping(ConnectionId command) { return {Kind::kSendPing, command, 0, 0}; }
BrokerAction Pair(ConnectionId command, ConnectionId client, ConnectionId transport) {
  return {Kind::kPair, command, client, transport};
}
BrokerAction CloseClient(ConnectionId command, ConnectionId client, EndReason reason) {
  return {Kind::kCloseClient, command, client, 0, reason};
}
BrokerAction CloseTransport(ConnectionId command, ConnectionId transport, EndReason reason) {
  return {Kind::kCloseTransport, command, 0, transport, reason};
}
BrokerAction CloseCommand(ConnectionId command, EndReason reason) {
  return {Kind::kCloseCommand, command, 0, 0, reason};
}

class BrokerTest : public ::testing::Test {
 protected:
  BrokerTest() : broker(BrokerSettings{kPing, kTimeout}) {}

  // A transport connection from `host` that passes its handshake.
  void Transport(ConnectionId id, const std::string& host = "h", Clock::time_point now = t0) {
    broker.AwaitingType(id, host);
    broker.AddTransport(id, host, now);
  }
  Actions Take() { return broker.TakeActions(); }

  Broker broker;
};

TEST_F(BrokerTest, WaitingClientIsClosedAfterTheTimeoutOrTakenByTheFirstCommandConnection) {
  broker.AddClient(10, t0);
  EXPECT_EQ(Actions{}, Take());
  ASSERT_EQ(std::optional(t0 + kTimeout), broker.NextDeadline());
  broker.Tick(t0 + kTimeout - 1ms);
  EXPECT_EQ(Actions{}, Take());
  broker.Tick(t0 + kTimeout);
  EXPECT_EQ(Actions{CloseClient(0, 10, EndReason::kNoConnector)}, Take());
  EXPECT_EQ(0u, broker.WaitingClients());
  broker.AddClient(11, t0 + kTimeout);
  broker.AddCommand(1, "h", t0 + kTimeout + 1s);
  EXPECT_EQ(Actions{Create(1, 11)}, Take());
}

TEST_F(BrokerTest, AcceptedWaitsForItsTransportOnlyWhileAConnectionOfItsWindowIsLeft) {
  broker.AddCommand(1, "h", t0);
  for (ConnectionId client = 10; client < 13; ++client) broker.AddClient(client, t0);
  Take();
  broker.AwaitingType(20, "h");
  broker.Answer(1, 1, t0);
  EXPECT_EQ(Actions{}, Take());
  EXPECT_TRUE(broker.HostBusy("h"));
  broker.AddTransport(20, "h", t0 + 1ms);
  EXPECT_EQ((Actions{Pair(1, 10, 20), Create(1, 11)}), Take());

  broker.AwaitingType(21, "h");
  broker.AwaitingType(22, "h");
  broker.Answer(1, 1, t0);
  broker.HandshakeEnded(21, "h", t0);
  EXPECT_EQ(Actions{}, Take());
  broker.AddCommand(22, "h", t0);  // the other one was a command connection
  EXPECT_EQ((Actions{CloseClient(1, 11, EndReason::kNoTransport), Create(22, 12)}), Take());
  // Nothing in its window at all: the client goes at once.
  broker.Answer(22, 1, t0);
  EXPECT_EQ(Actions{CloseClient(22, 12, EndReason::kNoTransport)}, Take());
  EXPECT_FALSE(broker.HostBusy("h"));
}

TEST_F(BrokerTest, AcceptedWithoutTransportEndsAtTheDeadline) {
  broker.AddCommand(1, "h", t0);
  broker.AddClient(10, t0);
  Take();
  broker.AwaitingType(20, "h");
  broker.Answer(1, 1, t0 + 1s);
  broker.Tick(t0 + 1s + kTimeout - 1ms);
  EXPECT_EQ(Actions{Ping(1)}, Take());
  broker.Tick(t0 + 1s + kTimeout);
  EXPECT_EQ(Actions{CloseClient(1, 10, EndReason::kNoTransport)}, Take());
  // Its transport, late: older than any later request, so stray.
  broker.AddClient(11, t0 + 12s);
  EXPECT_EQ(Actions{Create(1, 11)}, Take());
  broker.AddTransport(20, "h", t0 + 12s);
  EXPECT_EQ(Actions{CloseTransport(0, 20, EndReason::kStray)}, Take());
}

TEST_F(BrokerTest, ClientsAreServedFirstInFirstOutOneRequestPerHostAtATime) {
  broker.AddCommand(1, "h", t0);
  broker.AddCommand(2, "h", t0);
  for (ConnectionId client = 10; client < 16; ++client) broker.AddClient(client, t0);
  // One create-transport at a time, each sent once the previous was answered, the command connections of the host
  // taking turns.
  EXPECT_EQ(Actions{Create(1, 10)}, Take());
  for (ConnectionId client = 10; client < 16; ++client) {
    const ConnectionId command = client % 2 == 0 ? 1 : 2;
    const ConnectionId transport = client + 10;
    Transport(transport);
    EXPECT_EQ(Actions{}, Take());
    broker.Answer(command, 1, t0);
    Actions expected{Pair(command, client, transport)};
    if (client + 1 < 16) expected.push_back(Create(3 - command, client + 1));
    EXPECT_EQ(expected, Take());
  }
}

TEST_F(BrokerTest, ClientsGoRoundRobinOverHostsAndEveryCommandConnectionIsPinged) {
  broker.AddCommand(1, "a", t0);
  broker.AddCommand(2, "b", t0 + 1s);
  broker.AddCommand(3, "c", t0 + 1s);
  for (ConnectionId client = 10; client < 13; ++client) broker.AddClient(client, t0);
  EXPECT_EQ((Actions{Create(1, 10), Create(2, 11), Create(3, 12)}), Take());
  // Hosts work in parallel; each pairs only its own transport.
  Transport(22, "c");
  Transport(20, "a");
  Transport(21, "b");
  broker.Answer(2, 1, t0);
  broker.Answer(3, 1, t0);
  broker.Answer(1, 1, t0);
  EXPECT_EQ((Actions{Pair(2, 11, 21), Pair(3, 12, 22), Pair(1, 10, 20)}), Take());
  for (ConnectionId client = 13; client < 16; ++client) broker.AddClient(client, t0);
  EXPECT_EQ((Actions{Create(1, 13), Create(2, 14), Create(3, 15)}), Take());
  EXPECT_EQ(std::optional(t0 + kPing), broker.NextDeadline());
  broker.Tick(t0 + kPing);
  EXPECT_EQ(Actions{Ping(1)}, Take());
  broker.CommandClosed(3, t0 + kPing);
  Take();
  broker.Tick(t0 + kPing + 1s);
  EXPECT_EQ(Actions{Ping(2)}, Take());
}

TEST_F(BrokerTest, RefusalClosesTheClientAndItsTransportEvenOneStillInItsHandshake) {
  broker.AddCommand(1, "h", t0);
  for (ConnectionId client = 10; client < 13; ++client) broker.AddClient(client, t0);
  Take();
  Transport(20);
  broker.Answer(1, 0, t0);
  EXPECT_EQ((Actions{CloseClient(1, 10, EndReason::kRefused), CloseTransport(1, 20, EndReason::kUnused),
                     Create(1, 11)}),
            Take());
  broker.AwaitingType(21, "h");  // the next refused request's transport
  broker.Answer(1, 0, t0);
  EXPECT_EQ((Actions{CloseClient(1, 11, EndReason::kRefused), Create(1, 12)}), Take());
  broker.AddTransport(21, "h", t0);  // not taken for the request after it
  EXPECT_EQ(Actions{CloseTransport(0, 21, EndReason::kStray)}, Take());
  Transport(22);
  broker.Answer(1, 1, t0);
  EXPECT_EQ(Actions{Pair(1, 12, 22)}, Take());
}

TEST_F(BrokerTest, TransportsThatFitNoOpenRequestAreStray) {
  Transport(20);  // nothing asked at all
  EXPECT_EQ(Actions{CloseTransport(0, 20, EndReason::kStray)}, Take());
  broker.AddCommand(1, "h", t0);
  Transport(21);  // a command connection, but no request
  EXPECT_EQ(Actions{CloseTransport(0, 21, EndReason::kStray)}, Take());
  EXPECT_FALSE(broker.HostBusy("h"));

  broker.AwaitingType(22, "h");  // accepted before the command was sent
  broker.AddClient(10, t0);
  EXPECT_EQ(Actions{Create(1, 10)}, Take());
  broker.AddTransport(22, "h", t0);
  EXPECT_EQ(Actions{CloseTransport(0, 22, EndReason::kStray)}, Take());
  Transport(23, "b");  // from another host
  EXPECT_EQ(Actions{CloseTransport(0, 23, EndReason::kStray)}, Take());
  EXPECT_TRUE(broker.HostBusy("h"));
  Transport(24);
  Transport(25);  // a second one for the same request
  EXPECT_EQ(Actions{CloseTransport(0, 25, EndReason::kStray)}, Take());
  broker.Answer(1, 1, t0);
  EXPECT_EQ(Actions{Pair(1, 10, 24)}, Take());
}

TEST_F(BrokerTest, MissingAnswerEndsTheCommandConnectionSendsItsClientElsewhereAndReservesTheHost) {
  broker.AddCommand(1, "h", t0);
  broker.AddClient(10, t0);
  EXPECT_EQ(Actions{Create(1, 10)}, Take());
  broker.AddCommand(2, "h", t0 + 1ms);
  broker.Tick(t0 + kTimeout - 1ms);
  EXPECT_EQ((Actions{Ping(1), Ping(2)}), Take());
  broker.Tick(t0 + kTimeout);
  EXPECT_EQ(Actions{CloseCommand(1, EndReason::kAnswerDeadline)}, Take());
  EXPECT_TRUE(broker.HostBusy("h"));  // client 10 waits again
  broker.AddCommand(3, "g", t0 + kTimeout + 1ms);
  EXPECT_EQ(Actions{Create(3, 10)}, Take());
  broker.AddClient(11, t0 + kTimeout + 1ms);
  broker.Tick(t0 + 2 * kTimeout - 1ms);
  EXPECT_EQ((Actions{Ping(2), Ping(3)}), Take());
  broker.Tick(t0 + 2 * kTimeout);
  EXPECT_EQ(Actions{Create(2, 11)}, Take());
}

TEST_F(BrokerTest, EndOfTheCommandConnectionSendsItsClientOnAndClosesItsTransportEvenALateOne) {
  for (ConnectionId command = 1; command < 4; ++command) broker.AddCommand(command, "h", t0);
  for (ConnectionId client = 10; client < 13; ++client) broker.AddClient(client, t0);
  Take();
  Transport(20);
  broker.CommandClosed(1, t0);
  EXPECT_EQ((Actions{CloseTransport(1, 20, EndReason::kUnused), Create(2, 10)}), Take());
  broker.CommandClosed(2, t0 + 1s);
  EXPECT_EQ(Actions{}, Take());
  EXPECT_TRUE(broker.HostBusy("h"));
  broker.Answer(2, 1, t0 + 1s);  // from a reader that had not seen the end yet
  EXPECT_EQ(Actions{}, Take());
  Transport(21, "h", t0 + 2s);
  EXPECT_EQ((Actions{CloseTransport(2, 21, EndReason::kUnused), Create(3, 10)}), Take());
}

TEST_F(BrokerTest, AClientSentBackWaitsAfreshAndHoldsUpNoTimeOutBehindIt) {
  broker.AddCommand(1, "h", t0);
  for (ConnectionId client = 10; client < 12; ++client) broker.AddClient(client, t0);
  broker.CommandClosed(1, t0 + 5s);
  Take();
  EXPECT_EQ(std::optional(t0 + kTimeout), broker.NextDeadline());
  broker.Tick(t0 + kTimeout);
  EXPECT_EQ(Actions{CloseClient(0, 11, EndReason::kNoConnector)}, Take());
  broker.Tick(t0 + 5s + kTimeout);
  EXPECT_EQ(Actions{CloseClient(0, 10, EndReason::kNoConnector)}, Take());
}

}  // namespace
}  // namespace relvoproxy
