// The whole proxy in this process on 127.0.0.1, against test connectors and
// clients on real sockets: what the server and the controller add to the
// broker's rules and the handshake. Concurrent relaying is the end-to-end
// tests' (tests/e2e, with the real connector).
#include "tools/relvoproxy/server.h"

#include <gtest/gtest.h>

#include <optional>

#include "Common/netUtils.h"
#include "tests/support/fake_connector.h"
#include "tests/support/temp_dir.h"
#include "tests/support/text.h"
#include "tools/relvoproxy/challenge.h"
#include "tools/relvoproxy/net.h"

namespace relvoproxy {
namespace {

using namespace std::chrono_literals;
using namespace relvoproxy::testing;
using testsupport::WaitFor;
using Reply = FakeConnector::Reply;

bool SendText(const Socket& s, const std::string& bytes) {
  return netutils::SendAll(s->socket(), bytes.data(), static_cast<int>(bytes.size()));
}

// The "#n;" a test transport sends first; empty when none came.
std::string Greeting(const Socket& s) {
  std::string text;
  while (text.empty() || text.back() != ';') {
    const std::string c = ReadBytes(s->socket(), 1);
    if (c.empty() || text.size() > 16) return "";
    text += c;
  }
  return text;
}

class ServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { netutils::InitNet(); }

  void Start(Clock::duration ping = 5s, Clock::duration timeout = 10s) {
    ServerSettings settings;
    settings.broker.pingInterval = ping;
    settings.broker.transportTimeout = settings.handshakeTimeout = timeout;
    server.emplace(settings);
    server->Start();
  }
  Socket Client() { return ConnectLoopback(server->PublicPort()); }
  Socket Raw() { return ConnectLoopback(server->ConnectorPort()); }
  FakeConnector& Connector(std::function<Reply(int)> reply = {}) {
    return *connectors.emplace_back(std::make_unique<FakeConnector>(server->ConnectorPort(), std::move(reply)));
  }

  // Declared before the server: destroyed after it.
  std::list<std::unique_ptr<FakeConnector>> connectors;
  std::optional<Server> server;
};

TEST_F(ServerTest, RefusedClientsAreClosedAndTheNextIsRelayedUpToItsHalfClose) {
  Start(50ms);
  FakeConnector& connector = Connector([](int n) {
    return n == 0 ? Reply::kRefuse : n == 1 ? Reply::kRefuseAfterTransport : Reply::kCreate;
  });
  for (int i = 0; i < 2; ++i) {
    const Socket refused = Client();
    std::string extra;
    EXPECT_TRUE(WaitEnd(refused->socket(), 10s, &extra)) << i;
    EXPECT_EQ("", extra) << i;
  }
  const Socket served = Client();
  EXPECT_EQ("#2;", Greeting(served));
  EXPECT_EQ(3, connector.Creates());
  ASSERT_TRUE(SendText(served, "abc"));
  ASSERT_TRUE(net::ShutdownSend(served->socket()));
  std::string rest;
  EXPECT_TRUE(WaitEnd(served->socket(), 10s, &rest));
  EXPECT_EQ("abc", rest);
  EXPECT_TRUE(WaitFor([&] { return connector.Pings() >= 2; }, 10s));
}

TEST_F(ServerTest, MissingAnswerClosesTheClientAndTheCommandConnection) {
  Start(5s, 300ms);
  FakeConnector& connector = Connector([](int) { return Reply::kNoAnswer; });
  const Socket client = Client();
  EXPECT_TRUE(WaitEnd(client->socket(), 10s));
  EXPECT_TRUE(WaitFor([&] { return connector.CommandEnded(); }, 10s));
}

TEST_F(ServerTest, EndOfTheCommandConnectionClosesTheClientItWasAskedFor) {
  Start(5s, 60s);
  FakeConnector& connector = Connector([](int) { return Reply::kNoAnswer; });
  const Socket client = Client();
  ASSERT_TRUE(WaitFor([&] { return connector.Creates() == 1; }, 10s));
  connector.CloseCommand();
  EXPECT_TRUE(WaitEnd(client->socket(), 10s));
}

TEST_F(ServerTest, BadInputFromEitherSideNeverStopsTheServer) {
  Start(5s, 2s);
  const Socket flood = Raw();  // more than an answer, without a zero (fits the socket buffers)
  SendText(flood, testsupport::PatternBytes(32768, 3));
  EXPECT_TRUE(WaitEnd(flood->socket(), 10s));
  const Socket silent = Raw();  // ended by the handshake time-out, checked last
  const Socket rejected = Raw();
  const std::string wrong = "0";
  EXPECT_EQ(0, ConnectorHandshake(rejected->socket(), 1, &wrong));
  EXPECT_TRUE(WaitEnd(rejected->socket(), 10s));
  Raw()->Reset();  // gone before the key
  const Socket stray = Raw();  // a transport nobody asked for
  EXPECT_EQ(1, ConnectorHandshake(stray->socket(), 2));
  EXPECT_TRUE(WaitEnd(stray->socket(), 10s));
  FakeConnector& garbage = Connector();  // an answer nobody asked for, in two segments
  ASSERT_TRUE(netutils::SendAll(garbage.CommandSocket(), "\x07", 1));
  ASSERT_TRUE(netutils::SendAll(garbage.CommandSocket(), "", 1));
  EXPECT_TRUE(WaitFor([&] { return garbage.CommandEnded(); }, 10s));
  Client()->Reset();  // a client that leaves while waiting
  std::string key;
  EXPECT_TRUE(WaitEnd(silent->socket(), 10s, &key));
  EXPECT_TRUE(key.size() > kMinKeyLength && key.size() <= kMaxKeyLength + 1 && key.back() == '\0') << key;

  Connector();
  const Socket client = Client();
  EXPECT_FALSE(Greeting(client).empty());
  ASSERT_TRUE(SendText(client, "still here"));
  EXPECT_EQ("still here", ReadBytes(client->socket(), 10));
}

TEST_F(ServerTest, StopEndsRelayedAndWaitingClientsAndConnectorsAndABusyPortFailsToStart) {
  Start();
  FakeConnector& connector = Connector([](int n) { return n == 0 ? Reply::kCreate : Reply::kNoAnswer; });
  const Socket relayed = Client();
  EXPECT_EQ("#0;", Greeting(relayed));
  const Socket waiting = Client();
  ASSERT_TRUE(WaitFor([&] { return connector.Creates() == 2; }, 10s));
  const Socket queued = Client();
  ServerSettings busy;
  busy.connectorListen.port = server->ConnectorPort();
  EXPECT_THROW(Server(busy).Start(), std::runtime_error);
  server->Stop();
  for (const Socket& s : {relayed, waiting, queued}) EXPECT_TRUE(WaitEnd(s->socket(), 10s));
  EXPECT_TRUE(WaitFor([&] { return connector.CommandEnded(); }, 10s));
  server->Stop();  // again: nothing left to do
}

}  // namespace
}  // namespace relvoproxy
