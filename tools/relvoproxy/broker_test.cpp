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

TEST_F(BrokerTest, ClientWithoutConnectorIsClosedAfterTheTimeout) {
  broker.AddClient(10, t0);
  EXPECT_EQ(Actions{}, Take());
  ASSERT_EQ(std::optional(t0 + kTimeout), broker.NextDeadline());
  broker.Tick(t0 + kTimeout - 1ms);
  EXPECT_EQ(Actions{}, Take());
  broker.Tick(t0 + kTimeout);
  EXPECT_EQ(Actions{CloseClient(0, 10, EndReason::kNoConnector)}, Take());
  EXPECT_EQ(0u, broker.WaitingClients());
}

TEST_F(BrokerTest, WaitingClientIsTakenByTheFirstCommandConnection) {
  broker.AddClient(10, t0);
  broker.AddCommand(1, "h", t0 + 1s);
  EXPECT_EQ(Actions{Create(1, 10)}, Take());
}

TEST_F(BrokerTest, TransportBeforeTheAnswerIsPairedOnTheAnswer) {
  broker.AddCommand(1, "h", t0);
  broker.AddClient(10, t0);
  EXPECT_EQ(Actions{Create(1, 10)}, Take());
  Transport(20);
  EXPECT_EQ(Actions{}, Take());
  broker.Answer(1, 1, t0);
  EXPECT_EQ(Actions{Pair(1, 10, 20)}, Take());
  EXPECT_FALSE(broker.HostBusy("h"));
}

TEST_F(BrokerTest, AnswerBeforeTheTransportTypeWaitsForIt) {
  broker.AddCommand(1, "h", t0);
  broker.AddClient(10, t0);
  Take();
  broker.AwaitingType(20, "h");
  broker.Answer(1, 1, t0);
  EXPECT_EQ(Actions{}, Take());
  EXPECT_TRUE(broker.HostBusy("h"));
  broker.AddTransport(20, "h", t0 + 1ms);
  EXPECT_EQ(Actions{Pair(1, 10, 20)}, Take());
}

TEST_F(BrokerTest, AcceptedWithoutAnyConnectionInItsWindowClosesTheClientAtOnce) {
  broker.AddCommand(1, "h", t0);
  broker.AddClient(10, t0);
  broker.AddClient(11, t0);
  Take();
  broker.Answer(1, 1, t0);
  EXPECT_EQ((Actions{CloseClient(1, 10, EndReason::kNoTransport), Create(1, 11)}), Take());
}

TEST_F(BrokerTest, AcceptedWaitsUntilTheLastConnectionOfItsWindowHasFailed) {
  broker.AddCommand(1, "h", t0);
  broker.AddClient(10, t0);
  Take();
  broker.AwaitingType(20, "h");
  broker.AwaitingType(21, "h");
  broker.Answer(1, 1, t0);
  broker.HandshakeEnded(20, "h", t0);
  EXPECT_EQ(Actions{}, Take());
  broker.AddCommand(21, "h", t0);  // the other one was a command connection
  EXPECT_EQ(Actions{CloseClient(1, 10, EndReason::kNoTransport)}, Take());
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

TEST_F(BrokerTest, RequestsOnOneCommandConnectionAreFirstInFirstOut) {
  broker.AddCommand(1, "h", t0);
  for (ConnectionId client = 10; client < 15; ++client) broker.AddClient(client, t0);
  // One create-transport at a time, each sent once the previous was answered.
  EXPECT_EQ(Actions{Create(1, 10)}, Take());
  for (ConnectionId client = 10; client < 15; ++client) {
    const ConnectionId transport = client + 10;
    Transport(transport);
    EXPECT_EQ(Actions{}, Take());
    broker.Answer(1, 1, t0);
    Actions expected{Pair(1, client, transport)};
    if (client + 1 < 15) expected.push_back(Create(1, client + 1));
    EXPECT_EQ(expected, Take());
  }
}

TEST_F(BrokerTest, ClientsGoRoundRobinOverHosts) {
  broker.AddCommand(1, "a", t0);
  broker.AddCommand(2, "b", t0);
  broker.AddCommand(3, "c", t0);
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
}

TEST_F(BrokerTest, CommandConnectionsOfOneHostTakeTurnsOneRequestAtATime) {
  broker.AddCommand(1, "h", t0);
  broker.AddCommand(2, "h", t0);
  broker.AddClient(10, t0);
  broker.AddClient(11, t0);
  broker.AddClient(12, t0);
  EXPECT_EQ(Actions{Create(1, 10)}, Take());
  Transport(20);
  broker.Answer(1, 1, t0);
  EXPECT_EQ((Actions{Pair(1, 10, 20), Create(2, 11)}), Take());
  Transport(21);
  broker.Answer(2, 1, t0);
  EXPECT_EQ((Actions{Pair(2, 11, 21), Create(1, 12)}), Take());
}

TEST_F(BrokerTest, RefusalClosesTheClientAndItsTransport) {
  broker.AddCommand(1, "h", t0);
  broker.AddClient(10, t0);
  broker.AddClient(11, t0);
  Take();
  Transport(20);
  broker.Answer(1, 0, t0);
  EXPECT_EQ((Actions{CloseClient(1, 10, EndReason::kRefused), CloseTransport(1, 20, EndReason::kUnused),
                     Create(1, 11)}),
            Take());
}

TEST_F(BrokerTest, RefusedRequestsTransportStillInItsHandshakeIsNotTakenForTheNextOne) {
  broker.AddCommand(1, "h", t0);
  broker.AddClient(10, t0);
  broker.AddClient(11, t0);
  Take();
  broker.AwaitingType(20, "h");  // the refused request's transport
  broker.Answer(1, 0, t0);
  EXPECT_EQ((Actions{CloseClient(1, 10, EndReason::kRefused), Create(1, 11)}), Take());
  broker.AddTransport(20, "h", t0);
  EXPECT_EQ(Actions{CloseTransport(0, 20, EndReason::kStray)}, Take());
  Transport(21);
  broker.Answer(1, 1, t0);
  EXPECT_EQ(Actions{Pair(1, 11, 21)}, Take());
}

TEST_F(BrokerTest, TransportAcceptedBeforeTheCommandWasSentIsStray) {
  broker.AddCommand(1, "h", t0);
  broker.AwaitingType(20, "h");
  broker.AddClient(10, t0);
  EXPECT_EQ(Actions{Create(1, 10)}, Take());
  broker.AddTransport(20, "h", t0);
  EXPECT_EQ(Actions{CloseTransport(0, 20, EndReason::kStray)}, Take());
}

TEST_F(BrokerTest, TransportWithNothingAskedIsStray) {
  Transport(20);
  EXPECT_EQ(Actions{CloseTransport(0, 20, EndReason::kStray)}, Take());
  broker.AddCommand(1, "h", t0);
  Transport(21);
  EXPECT_EQ(Actions{CloseTransport(0, 21, EndReason::kStray)}, Take());
  EXPECT_FALSE(broker.HostBusy("h"));
}

TEST_F(BrokerTest, SecondTransportForOneRequestIsStray) {
  broker.AddCommand(1, "h", t0);
  broker.AddClient(10, t0);
  Take();
  Transport(20);
  Transport(21);
  EXPECT_EQ(Actions{CloseTransport(0, 21, EndReason::kStray)}, Take());
  broker.Answer(1, 1, t0);
  EXPECT_EQ(Actions{Pair(1, 10, 20)}, Take());
}

TEST_F(BrokerTest, TransportFromAnotherHostIsNotTaken) {
  broker.AddCommand(1, "a", t0);
  broker.AddClient(10, t0);
  Take();
  Transport(20, "b");
  EXPECT_EQ(Actions{CloseTransport(0, 20, EndReason::kStray)}, Take());
  EXPECT_TRUE(broker.HostBusy("a"));
}

TEST_F(BrokerTest, MissingAnswerClosesClientAndCommandAndReservesTheHostForATimeout) {
  broker.AddCommand(1, "h", t0);
  broker.AddClient(10, t0);
  EXPECT_EQ(Actions{Create(1, 10)}, Take());
  broker.AddCommand(2, "h", t0 + 1ms);
  broker.Tick(t0 + kTimeout - 1ms);
  EXPECT_EQ((Actions{Ping(1), Ping(2)}), Take());
  broker.Tick(t0 + kTimeout);
  EXPECT_EQ((Actions{CloseClient(1, 10, EndReason::kAnswerDeadline), CloseCommand(1, EndReason::kAnswerDeadline)}),
            Take());
  EXPECT_TRUE(broker.HostBusy("h"));
  broker.AddClient(11, t0 + kTimeout + 1ms);
  EXPECT_EQ(Actions{}, Take());
  broker.Tick(t0 + 2 * kTimeout - 1ms);
  EXPECT_EQ(Actions{Ping(2)}, Take());
  broker.Tick(t0 + 2 * kTimeout);
  EXPECT_EQ(Actions{Create(2, 11)}, Take());
}

TEST_F(BrokerTest, LateTransportOfAnAbandonedRequestIsClosedAndFreesTheHost) {
  broker.AddCommand(1, "h", t0);
  broker.AddClient(10, t0);
  broker.AddCommand(2, "h", t0);
  broker.AddClient(11, t0);
  Take();
  broker.CommandClosed(1, t0 + 1s);
  EXPECT_EQ(Actions{CloseClient(1, 10, EndReason::kCommandClosed)}, Take());
  broker.Answer(1, 1, t0 + 1s);  // from a reader that had not seen the end yet
  EXPECT_EQ(Actions{}, Take());
  Transport(20, "h", t0 + 2s);
  EXPECT_EQ((Actions{CloseTransport(1, 20, EndReason::kUnused), Create(2, 11)}), Take());
}

TEST_F(BrokerTest, CommandEndingWithItsTransportHeldClosesBothAndFreesTheHost) {
  broker.AddCommand(1, "h", t0);
  broker.AddCommand(2, "h", t0);
  broker.AddClient(10, t0);
  broker.AddClient(11, t0);
  Take();
  Transport(20);
  broker.CommandClosed(1, t0);
  EXPECT_EQ((Actions{CloseClient(1, 10, EndReason::kCommandClosed), CloseTransport(1, 20, EndReason::kUnused),
                     Create(2, 11)}),
            Take());
}

TEST_F(BrokerTest, AnswerWordOtherThanZeroOrOneClosesTheCommandConnection) {
  broker.AddCommand(1, "h", t0);
  broker.AddClient(10, t0);
  Take();
  broker.Answer(1, 0x0100, t0);
  EXPECT_EQ((Actions{CloseClient(1, 10, EndReason::kBadAnswer), CloseCommand(1, EndReason::kBadAnswer)}), Take());
  EXPECT_EQ(0u, broker.CommandCount());
}

TEST_F(BrokerTest, AnswerWithNothingAskedClosesTheCommandConnection) {
  broker.AddCommand(1, "h", t0);
  broker.Answer(1, 1, t0);
  EXPECT_EQ(Actions{CloseCommand(1, EndReason::kBadAnswer)}, Take());
  EXPECT_EQ(0u, broker.CommandCount());
  EXPECT_FALSE(broker.HostBusy("h"));
}

TEST_F(BrokerTest, AnswerOnAnotherCommandConnectionOfTheHostClosesThatOne) {
  broker.AddCommand(1, "h", t0);
  broker.AddCommand(2, "h", t0);
  broker.AddClient(10, t0);
  Take();
  broker.Answer(2, 1, t0);
  EXPECT_EQ(Actions{CloseCommand(2, EndReason::kBadAnswer)}, Take());
  Transport(20);
  broker.Answer(1, 1, t0);
  EXPECT_EQ(Actions{Pair(1, 10, 20)}, Take());
}

TEST_F(BrokerTest, PingsEveryIntervalOnEveryCommandConnection) {
  broker.AddCommand(1, "a", t0);
  broker.AddCommand(2, "b", t0 + 1s);
  EXPECT_EQ(std::optional(t0 + kPing), broker.NextDeadline());
  broker.Tick(t0 + kPing);
  EXPECT_EQ(Actions{Ping(1)}, Take());
  broker.Tick(t0 + 1s + kPing);
  EXPECT_EQ(Actions{Ping(2)}, Take());
  broker.Tick(t0 + 2 * kPing + 1s);
  EXPECT_EQ((Actions{Ping(1), Ping(2)}), Take());
  broker.CommandClosed(1, t0 + 11s);
  broker.Tick(t0 + 3 * kPing + 1s);
  EXPECT_EQ(Actions{Ping(2)}, Take());
}

TEST_F(BrokerTest, StopAllEndsEverything) {
  broker.AddCommand(1, "h", t0);
  broker.AddClient(10, t0);
  broker.AddClient(11, t0);
  Take();
  Transport(20);
  broker.StopAll();
  EXPECT_EQ((Actions{CloseClient(0, 11, EndReason::kStopping), CloseClient(1, 10, EndReason::kStopping),
                     CloseTransport(1, 20, EndReason::kStopping), CloseCommand(1, EndReason::kStopping)}),
            Take());
  EXPECT_EQ(std::nullopt, broker.NextDeadline());
}

TEST_F(BrokerTest, EventsAboutUnknownConnectionsAreIgnored) {
  broker.Answer(99, 1, t0);
  broker.CommandClosed(99, t0);
  broker.HandshakeEnded(98, "h", t0);
  EXPECT_EQ(Actions{}, Take());
  EXPECT_EQ(std::nullopt, broker.NextDeadline());
}

}  // namespace
}  // namespace relvoproxy
