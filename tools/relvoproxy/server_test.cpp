// The whole proxy in this process on 127.0.0.1, against test connectors and
// clients on real sockets.
#include "tools/relvoproxy/server.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <thread>

#include "Common/netUtils.h"
#include "tests/support/temp_dir.h"
#include "tests/support/text.h"
#include "tools/relvoproxy/challenge.h"
#include "tools/relvoproxy/fake_connector.h"
#include "tools/relvoproxy/net.h"

namespace relvoproxy {
namespace {

using namespace std::chrono_literals;
using testing::ConnectLoopback;
using testing::ConnectorHandshake;
using testing::FakeConnector;
using testing::ReadBytes;
using testing::WaitEnd;
using testsupport::WaitFor;
using Reply = FakeConnector::Reply;
using Socket = std::shared_ptr<libmo::UniqueSocket>;

bool SendText(SOCKET s, const std::string& bytes) {
  return netutils::SendAll(s, bytes.data(), static_cast<int>(bytes.size()));
}
bool SendText(const Socket& s, const std::string& bytes) { return SendText(s->socket(), bytes); }

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
    settings.broker.transportTimeout = timeout;
    settings.handshakeTimeout = timeout;
    server.emplace(settings);
    server->Start();
    ASSERT_NE(0, server->ConnectorPort());
    ASSERT_NE(0, server->PublicPort());
  }
  Socket Client() { return ConnectLoopback(server->PublicPort()); }
  Socket Raw() { return ConnectLoopback(server->ConnectorPort()); }

  // Declared before the server: destroyed after it.
  std::list<std::unique_ptr<FakeConnector>> connectors;
  std::optional<Server> server;

  FakeConnector& Connector(std::function<Reply(int)> reply = {}) {
    connectors.push_back(std::make_unique<FakeConnector>(server->ConnectorPort(), std::move(reply)));
    return *connectors.back();
  }
};

TEST_F(ServerTest, RelaysBothWaysThroughTheTransportOfTheClient) {
  Start();
  FakeConnector& connector = Connector();
  const Socket client = Client();
  EXPECT_EQ("#0;", Greeting(client));
  const std::string data = testsupport::PatternBytes(300000, 1);
  std::thread sender([&] { EXPECT_TRUE(SendText(client, data)); });
  EXPECT_EQ(data, ReadBytes(client->socket(), data.size(), 30s));
  sender.join();
  EXPECT_EQ(1, connector.Creates());
}

TEST_F(ServerTest, HalfCloseIsPassedOnAndTheRestStillComesBack) {
  Start();
  Connector();
  const Socket client = Client();
  ASSERT_TRUE(SendText(client, "abc"));
  ASSERT_TRUE(net::ShutdownSend(client->socket()));
  std::string rest;
  EXPECT_TRUE(WaitEnd(client->socket(), 10s, &rest));
  EXPECT_EQ("#0;abc", rest);
}

TEST_F(ServerTest, EveryConcurrentClientGetsItsOwnTransport) {
  Start();
  FakeConnector& connector = Connector();
  constexpr int kClients = 40;
  std::vector<std::string> greetings(kClients);
  std::vector<char> echoed(kClients, 0);  // not vector<bool>: each thread writes its own element
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      const Socket client = Client();
      greetings[i] = Greeting(client);
      const std::string data = testsupport::PatternBytes(20000, static_cast<unsigned>(i) + 7);
      if (SendText(client, data)) echoed[i] = ReadBytes(client->socket(), data.size(), 30s) == data;
    });
  }
  for (std::thread& t : threads) t.join();
  std::set<std::string> distinct;
  for (int i = 0; i < kClients; ++i) {
    EXPECT_TRUE(echoed[i]) << i;
    distinct.insert(greetings[i]);
  }
  std::set<std::string> expected;
  for (int i = 0; i < kClients; ++i) expected.insert("#" + std::to_string(i) + ";");
  EXPECT_EQ(expected, distinct);
  EXPECT_EQ(kClients, connector.Creates());
}

TEST_F(ServerTest, CommandConnectionsTakeClientsInTurn) {
  Start(50ms);
  FakeConnector& first = Connector();
  FakeConnector& second = Connector();
  // A ping shows that the proxy has taken the command connection.
  ASSERT_TRUE(WaitFor([&] { return first.Pings() > 0 && second.Pings() > 0; }, 10s));
  std::vector<Socket> clients;
  for (int i = 0; i < 4; ++i) {
    clients.push_back(Client());
    EXPECT_FALSE(Greeting(clients.back()).empty()) << i;
  }
  EXPECT_EQ(2, first.Creates());
  EXPECT_EQ(2, second.Creates());
}

TEST_F(ServerTest, RefusedClientIsClosed) {
  Start();
  FakeConnector& connector = Connector([](int) { return Reply::kRefuse; });
  const Socket client = Client();
  std::string extra;
  EXPECT_TRUE(WaitEnd(client->socket(), 10s, &extra));
  EXPECT_EQ("", extra);
  EXPECT_EQ(1, connector.Creates());
}

TEST_F(ServerTest, RefusalAfterATransportClosesThatClientOnly) {
  Start();
  Connector([](int n) { return n == 0 ? Reply::kRefuseAfterTransport : Reply::kCreate; });
  const Socket refused = Client();
  std::string extra;
  EXPECT_TRUE(WaitEnd(refused->socket(), 10s, &extra));
  EXPECT_EQ("", extra);
  const Socket served = Client();
  EXPECT_EQ("#1;", Greeting(served));
}

TEST_F(ServerTest, ClientWithoutConnectorIsClosedAfterTheTimeout) {
  Start(5s, 300ms);
  const auto start = Clock::now();
  const Socket client = Client();
  EXPECT_TRUE(WaitEnd(client->socket(), 10s));
  EXPECT_GE(Clock::now() - start, 250ms);
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

TEST_F(ServerTest, PingsEveryInterval) {
  Start(50ms);
  FakeConnector& connector = Connector();
  EXPECT_TRUE(WaitFor([&] { return connector.Pings() >= 3; }, 10s));
  EXPECT_EQ(0, connector.Unknown());
}

TEST_F(ServerTest, WrongAnswerGetsZeroAndTheConnectionIsClosed) {
  Start();
  const Socket raw = Raw();
  const std::string wrong = "0";
  EXPECT_EQ(0, ConnectorHandshake(raw->socket(), 1, &wrong));
  std::string extra;
  EXPECT_TRUE(WaitEnd(raw->socket(), 10s, &extra));
  EXPECT_EQ("", extra);
}

TEST_F(ServerTest, SilentConnectorConnectionIsClosedAfterTheTimeout) {
  Start(5s, 300ms);
  const Socket raw = Raw();
  std::string key;
  EXPECT_TRUE(WaitEnd(raw->socket(), 10s, &key));
  ASSERT_FALSE(key.empty());
  EXPECT_EQ('\0', key.back());
  EXPECT_GE(key.size(), kMinKeyLength + 1);
  EXPECT_LE(key.size(), kMaxKeyLength + 1);
}

TEST_F(ServerTest, BadInputFromEitherSideNeverStopsTheServer) {
  Start(5s, 2s);
  {
    const Socket huge = Raw();  // a flood instead of an answer
    std::thread flood([&] { SendText(huge, testsupport::PatternBytes(1 << 20, 3)); });
    EXPECT_TRUE(WaitEnd(huge->socket(), 10s));
    huge->Reset();
    flood.join();
  }
  Raw()->Reset();  // gone before the key
  {
    const Socket badType = Raw();
    EXPECT_EQ(1, ConnectorHandshake(badType->socket(), 9));
    EXPECT_TRUE(WaitEnd(badType->socket(), 10s));
  }
  {
    const Socket stray = Raw();  // a transport nobody asked for
    EXPECT_EQ(1, ConnectorHandshake(stray->socket(), 2));
    EXPECT_TRUE(WaitEnd(stray->socket(), 10s));
  }
  {
    FakeConnector& garbage = Connector();  // an answer nobody asked for
    ASSERT_TRUE(SendText(garbage.CommandSocket(), "\x07"));
    ASSERT_TRUE(SendText(garbage.CommandSocket(), std::string(1, '\0')));
    EXPECT_TRUE(WaitFor([&] { return garbage.CommandEnded(); }, 10s));
  }
  {
    const Socket client = Client();  // a client that leaves while waiting
    client->Reset();
  }
  Connector();
  const Socket client = Client();
  EXPECT_FALSE(Greeting(client).empty());
  ASSERT_TRUE(SendText(client, "still here"));
  EXPECT_EQ("still here", ReadBytes(client->socket(), 10));
}

TEST_F(ServerTest, StopEndsRelayedAndWaitingClientsAndConnectors) {
  Start();
  FakeConnector& connector = Connector([](int n) { return n == 0 ? Reply::kCreate : Reply::kNoAnswer; });
  const Socket relayed = Client();
  EXPECT_EQ("#0;", Greeting(relayed));
  const Socket waiting = Client();
  ASSERT_TRUE(WaitFor([&] { return connector.Creates() == 2; }, 10s));
  const Socket queued = Client();
  server->Stop();
  EXPECT_TRUE(WaitEnd(relayed->socket(), 10s));
  EXPECT_TRUE(WaitEnd(waiting->socket(), 10s));
  EXPECT_TRUE(WaitEnd(queued->socket(), 10s));
  EXPECT_TRUE(WaitFor([&] { return connector.CommandEnded(); }, 10s));
  server->Stop();  // again: nothing left to do
}

TEST_F(ServerTest, ListenerOnABusyPortFailsToStart) {
  Start();
  ServerSettings settings;
  settings.connectorListen.port = server->ConnectorPort();
  Server second(settings);
  EXPECT_THROW(second.Start(), std::runtime_error);
}

}  // namespace
}  // namespace relvoproxy
