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
#include "tests/support/fake_connector.h"
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

// Bounds every later send on `s` to a few seconds: under Wine a send blocked
// in another thread is not always woken by the peer's reset or a local close.
void BoundSends(SOCKET s) {
#if defined(_WIN32)
  const DWORD ms = 5000;
  ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
#else
  const timeval limit{5, 0};
  ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
#endif
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
  std::set<std::string> expected;
  for (int i = 0; i < kClients; ++i) {
    EXPECT_TRUE(echoed[i]) << i;
    distinct.insert(greetings[i]);
    expected.insert("#" + std::to_string(i) + ";");
  }
  EXPECT_EQ(expected, distinct);
  EXPECT_EQ(kClients, connector.Creates());
}

TEST_F(ServerTest, CommandConnectionsArePingedAndTakeClientsInTurn) {
  Start(50ms);
  FakeConnector& first = Connector();
  FakeConnector& second = Connector();
  // Pings also show that the proxy has taken both command connections.
  ASSERT_TRUE(WaitFor([&] { return first.Pings() >= 3 && second.Pings() >= 3; }, 10s));
  std::vector<Socket> clients;
  for (int i = 0; i < 4; ++i) {
    clients.push_back(Client());
    EXPECT_FALSE(Greeting(clients.back()).empty()) << i;
  }
  EXPECT_EQ(2, first.Creates());
  EXPECT_EQ(2, second.Creates());
  EXPECT_EQ(0, first.Unknown());
  EXPECT_EQ(0, second.Unknown());
}

TEST_F(ServerTest, RefusedClientsAreClosedAndTheNextIsServedUpToItsHalfClose) {
  Start();
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
  // A half-close is passed on, and the rest still comes back.
  ASSERT_TRUE(SendText(served, "abc"));
  ASSERT_TRUE(net::ShutdownSend(served->socket()));
  std::string rest;
  EXPECT_TRUE(WaitEnd(served->socket(), 10s, &rest));
  EXPECT_EQ("abc", rest);
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
  {
    const Socket huge = Raw();  // a flood instead of an answer
    BoundSends(huge->socket());
    std::thread flood([&] { SendText(huge, testsupport::PatternBytes(1 << 20, 3)); });
    EXPECT_TRUE(WaitEnd(huge->socket(), 10s));
    huge->Reset();
    flood.join();
  }
  const Socket silent = Raw();  // ended by the handshake time-out, checked last
  {
    const Socket wrong = Raw();
    const std::string answer = "0";
    EXPECT_EQ(0, ConnectorHandshake(wrong->socket(), 1, &answer));
    std::string extra;
    EXPECT_TRUE(WaitEnd(wrong->socket(), 10s, &extra));
    EXPECT_EQ("", extra);
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
  std::string key;
  EXPECT_TRUE(WaitEnd(silent->socket(), 10s, &key));
  ASSERT_FALSE(key.empty());
  EXPECT_EQ('\0', key.back());
  EXPECT_GE(key.size(), kMinKeyLength + 1);
  EXPECT_LE(key.size(), kMaxKeyLength + 1);

  Connector();
  const Socket client = Client();
  EXPECT_FALSE(Greeting(client).empty());
  ASSERT_TRUE(SendText(client, "still here"));
  EXPECT_EQ("still here", ReadBytes(client->socket(), 10));
}

TEST_F(ServerTest, BusyPortFailsToStartAndStopEndsRelayedAndWaitingClientsAndConnectors) {
  Start();
  FakeConnector& connector = Connector([](int n) { return n == 0 ? Reply::kCreate : Reply::kNoAnswer; });
  const Socket relayed = Client();
  EXPECT_EQ("#0;", Greeting(relayed));
  const Socket waiting = Client();
  ASSERT_TRUE(WaitFor([&] { return connector.Creates() == 2; }, 10s));
  const Socket queued = Client();
  ServerSettings busy;  // a listener on a port in use fails to start
  busy.connectorListen.port = server->ConnectorPort();
  Server second(busy);
  EXPECT_THROW(second.Start(), std::runtime_error);
  server->Stop();
  EXPECT_TRUE(WaitEnd(relayed->socket(), 10s));
  EXPECT_TRUE(WaitEnd(waiting->socket(), 10s));
  EXPECT_TRUE(WaitEnd(queued->socket(), 10s));
  EXPECT_TRUE(WaitFor([&] { return connector.CommandEnded(); }, 10s));
  server->Stop();  // again: nothing left to do
}

}  // namespace
}  // namespace relvoproxy
