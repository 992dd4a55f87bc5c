// relvoproxy on 127.0.0.1 against test peers on real sockets: the proxy side of the handshake, and what the server adds
// to the broker's rules (which broker_test checks): its sockets, ping timer, bad input and stop. Relaying with the real
// connector is the soak test's.
#include "tools/relvoproxy/server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <optional>
#include <set>

#include "Common/UniqueSocket.h"
#include "Common/netUtils.h"
#include "Common/oserror.h"
#include "Common/socket_timeout.h"
#include "Common/relvo/Wire.h"
#include "tests/support/loopback.h"
#include "tests/support/text.h"
#include "tools/relvoproxy/challenge.h"
#include "tools/relvoproxy/handshake.h"
#include "tools/relvoproxy/net.h"
#include "tools/relvoproxy/options.h"

namespace relvoproxy {
namespace {

using namespace std::chrono_literals;
namespace wire = relvo::wire;
using wire::HandshakeAnswer;
using Socket = std::shared_ptr<libmo::UniqueSocket>;

const std::string kAccepted("\x01\x00", 2);
const std::string kZero(1, '\0');

bool SendText(SOCKET s, const std::string& bytes) {
  return netutils::SendAll(s, bytes.data(), static_cast<int>(bytes.size()));
}

// One receive bounded by `deadline`: > 0 bytes, 0 at the end (or a reset), -1 on a time-out.
int ReceiveUntil(SOCKET s, char* data, size_t length, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return -1;
    netutils::SetReceiveTimeout(s, static_cast<uint32_t>(left));
    const int n = static_cast<int>(::recv(s, data, static_cast<int>(length), 0));
    if (n >= 0) return n;
    if (!net::IsTimeoutError(libmo::LastSocketError())) return 0;
  }
}

// Up to `n` bytes; fewer when the connection ends or 10 s pass first.
std::string ReadBytes(SOCKET s, size_t n) {
  const Clock::time_point deadline = Clock::now() + 10s;
  std::string out;
  char buffer[16384];
  for (int got; out.size() < n && (got = ReceiveUntil(s, buffer, std::min(sizeof buffer, n - out.size()),
                                                      deadline)) > 0;) {
    out.append(buffer, static_cast<size_t>(got));
  }
  return out;
}

// True when the peer ends the connection within 10 s; bytes arriving before the end go to `*extra`.
bool WaitEnd(SOCKET s, std::string* extra = nullptr) {
  const Clock::time_point deadline = Clock::now() + 10s;
  char buffer[4096];
  for (int n; (n = ReceiveUntil(s, buffer, sizeof buffer, deadline)) != 0;) {
    if (n < 0) return false;
    if (extra != nullptr) extra->append(buffer, static_cast<size_t>(n));
  }
  return true;
}

// The connector's side: reads the key (into `*key`), sends `answer` (default: the right one) with its zero byte, reads
// the acceptance word and, when it is not 0, sends `type`. The acceptance word, or -1 when the connection ended.
int ConnectorHandshake(SOCKET s, uint16_t type, const std::string* answer = nullptr, std::string* key = nullptr) {
  std::string received;
  for (std::string more; received.find('\0') == std::string::npos; received += more) {
    if ((more = ReadBytes(s, 1)).empty()) return -1;
  }
  received.pop_back();
  if (key != nullptr) *key = received;
  if (!SendText(s, (answer != nullptr ? *answer : HandshakeAnswer(received)) + kZero)) return -1;
  const std::string word = ReadBytes(s, wire::kWordSize);
  if (word.size() != wire::kWordSize) return -1;
  const int acceptance = wire::ReadWord(word.data());
  if (acceptance != wire::kRejected && !SendText(s, wire::Word(type))) return -1;
  return acceptance;
}

class HandshakeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { netutils::InitNet(); }

  // Runs the proxy side on a fresh pair's server end in the background.
  void Begin(std::string key = "", Clock::duration limit = 10s, bool allow = true) {
    pair = testsupport::MakeLoopbackPair();
    this->key = key.empty() ? keys.MakeKey() : key;
    result = std::async(std::launch::async, [this, limit, allow] {
      libmo::UniqueSocket server(pair.server.get(), false);
      return AcceptHandshake(server, this->key, Clock::now() + limit, [this, allow] {
        ++beforeAcceptCalls;
        return allow;
      });
    });
    EXPECT_EQ(this->key + kZero, ReadBytes(pair.client.get(), this->key.size() + 1));
  }
  HandshakeResult End() {
    EXPECT_EQ(std::future_status::ready, result.wait_for(30s));
    return result.get();
  }
  void Send(const std::string& bytes) { ASSERT_TRUE(SendText(pair.client.get(), bytes)); }
  std::string Read(size_t n) { return ReadBytes(pair.client.get(), n); }

  KeySource keys;
  testsupport::LoopbackPair pair;
  std::string key;
  std::atomic<int> beforeAcceptCalls{0};
  std::future<HandshakeResult> result;
};

TEST_F(HandshakeTest, RightAnswerInPiecesIsAcceptedAndTheTypeWordDecidesTheKind) {
  const std::pair<std::string, HandshakeStatus> types[] = {{std::string("\x01\x00", 2), HandshakeStatus::kCommand},
                                                           {std::string("\x02\x00", 2), HandshakeStatus::kTransport},
                                                           {std::string("\x00\x01", 2), HandshakeStatus::kBadType}};
  for (const auto& [type, status] : types) {
    Begin("hello");
    const std::string answer = HandshakeAnswer("hello") + kZero;
    Send(answer.substr(0, 3));
    Send(answer.substr(3));
    EXPECT_EQ(kAccepted, Read(2));
    Send(type.substr(0, 1));
    Send(type.substr(1) + "payload");
    const HandshakeResult r = End();
    EXPECT_EQ(status, r.status);
    EXPECT_EQ(status == HandshakeStatus::kBadType ? "256" : "", r.detail);
    EXPECT_EQ("payload", ReadBytes(pair.server.get(), 7));  // nothing past the type word is read
  }
  EXPECT_EQ(3, beforeAcceptCalls.load());
}

TEST_F(HandshakeTest, WrongOverlongOrTrailedAnswerGetsZeroAndNoAcceptance) {
  const std::pair<std::string, std::string> cases[] = {  // sent, detail (empty: not checked)
      {std::string("12345\0", 6), "12345\\x00"},
      {HandshakeAnswer("hellp") + kZero, ""},  // the answer to another key
      {std::string(4000, '7'), std::string(wire::kMaxAnswerLength + 2, '7')},  // not waited for
      {HandshakeAnswer("hello") + std::string("\0\x01\x00", 3), ""},           // bytes after a right one
  };
  for (const auto& [sent, detail] : cases) {
    Begin("hello");
    Send(sent);
    EXPECT_EQ(std::string("\x00\x00", 2), Read(2)) << sent;
    const HandshakeResult r = End();
    EXPECT_EQ(HandshakeStatus::kWrongAnswer, r.status) << sent;
    EXPECT_TRUE(detail.empty() || detail == r.detail) << r.detail;
  }
  EXPECT_EQ(0, beforeAcceptCalls.load());
}

TEST_F(HandshakeTest, CloseOrDeadlineBeforeTheTypeWordIsReported) {
  for (const bool close : {false, true}) {
    for (const bool answered : {false, true}) {
      Begin("", close ? 10s : 300ms);
      if (answered) {
        Send(HandshakeAnswer(key) + kZero);
        EXPECT_EQ(kAccepted, Read(2));
        if (close) Send("\x01");  // half a type word
      }
      if (close) pair.client.Reset();
      EXPECT_EQ(close ? HandshakeStatus::kClosed : HandshakeStatus::kTimedOut, End().status) << answered;
    }
  }
}

TEST_F(HandshakeTest, RefusalBeforeTheAcceptanceSendsNothingMore) {
  Begin("abc", 10s, /*allow=*/false);
  Send(HandshakeAnswer("abc") + kZero);
  EXPECT_EQ(HandshakeStatus::kAborted, End().status);
  EXPECT_EQ(1, beforeAcceptCalls.load());
  pair.server.Reset();
  std::string extra;
  EXPECT_TRUE(WaitEnd(pair.client.get(), &extra));
  EXPECT_EQ("", extra);
}

TEST(Challenge, KeysArePrintableWithinTheirLengthsAndDiffer) {
  KeySource first, second;
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string key = (i % 2 == 0 ? first : second).MakeKey();
    EXPECT_TRUE(key.size() >= kMinKeyLength && key.size() <= kMaxKeyLength) << key;
    for (const char c : key) ASSERT_TRUE(c >= '!' && c <= '~') << static_cast<int>(c);
    EXPECT_TRUE(seen.insert(key).second) << key;
  }
  EXPECT_EQ("ab\\x00\\x5C\\xFF", Printable(std::string("ab\0\\\xFF", 5)));
  EXPECT_EQ("xxx...", Printable("xxxxx", 3));
}

class ServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { netutils::InitNet(); }

  void Start(Clock::duration ping = 1h) {
    ServerSettings settings;
    settings.broker.pingInterval = ping;
    settings.broker.transportTimeout = settings.handshakeTimeout = 2s;
    server.emplace(settings);
    server->Start();
  }
  static Socket Connect(uint16_t port) {
    return std::make_shared<libmo::UniqueSocket>(netutils::Connect("127.0.0.1", port));
  }
  Socket Client() { return Connect(server->PublicPort()); }
  Socket Raw() { return Connect(server->ConnectorPort()); }
  Socket Command() {
    const Socket command = Raw();
    EXPECT_EQ(1, ConnectorHandshake(command->socket(), wire::kCommandConnection));
    return command;
  }
  // The next command word on `command` other than a ping (counted in pings).
  uint16_t NextCommand(const Socket& command) {
    for (std::string word; (word = ReadBytes(command->socket(), wire::kWordSize)).size() == wire::kWordSize;) {
      if (wire::ReadWord(word.data()) != wire::kPing) return wire::ReadWord(word.data());
      ++pings;
    }
    return 0;
  }
  // Answers the create-transport a new client caused, as the connector does: a transport first, then 01 00.
  Socket Serve(const Socket& command) {
    EXPECT_EQ(wire::kCreateTransport, NextCommand(command));
    const Socket transport = Raw();
    EXPECT_EQ(1, ConnectorHandshake(transport->socket(), wire::kTransportConnection));
    EXPECT_TRUE(SendText(command->socket(), wire::Word(wire::kCreated)));
    return transport;
  }

  std::optional<Server> server;
  int pings = 0;
};

TEST_F(ServerTest, BadInputFromEitherSideNeverStopsTheServer) {
  Start();
  const Socket flood = Raw();  // more than an answer, without a zero (fits the socket buffers)
  SendText(flood->socket(), testsupport::PatternBytes(32768, 3));
  EXPECT_TRUE(WaitEnd(flood->socket()));
  const Socket silent = Raw();  // ended by the handshake time-out, checked last
  const Socket rejected = Raw();
  const std::string wrong = "0";
  EXPECT_EQ(0, ConnectorHandshake(rejected->socket(), 1, &wrong));
  EXPECT_TRUE(WaitEnd(rejected->socket()));
  Raw()->Reset();  // gone before the key
  const Socket stray = Raw();  // a transport nobody asked for
  EXPECT_EQ(1, ConnectorHandshake(stray->socket(), 2));
  EXPECT_TRUE(WaitEnd(stray->socket()));
  const Socket garbage = Command();  // an answer nobody asked for, in two segments
  ASSERT_TRUE(SendText(garbage->socket(), "\x07"));
  ASSERT_TRUE(SendText(garbage->socket(), kZero));
  EXPECT_TRUE(WaitEnd(garbage->socket()));
  Client()->Reset();  // a client that leaves while waiting
  std::string key;
  EXPECT_TRUE(WaitEnd(silent->socket(), &key));
  EXPECT_TRUE(key.size() > kMinKeyLength && key.size() <= kMaxKeyLength + 1 && key.back() == '\0') << key;

  const Socket command = Command();
  const Socket client = Client();
  ASSERT_TRUE(SendText(client->socket(), "still here"));
  // The client that left may be asked for first: the server sees its end only when it pairs it.
  std::string relayed;
  for (int i = 0; i < 2 && relayed.empty(); ++i) relayed = ReadBytes(Serve(command)->socket(), 10);
  EXPECT_EQ("still here", relayed);
}

TEST_F(ServerTest, PingsRelaysUpToAHalfCloseAndStopEndsEveryConnectionAndABusyPortFailsToStart) {
  Start(50ms);
  const Socket command = Command();
  for (int i = 0; i < 2; ++i) EXPECT_EQ(std::string("\x19\x00", 2), ReadBytes(command->socket(), 2)) << i;
  const Socket relayed = Client();
  const Socket transport = Serve(command);
  ASSERT_TRUE(SendText(transport->socket(), "#0;"));
  EXPECT_EQ("#0;", ReadBytes(relayed->socket(), 3));
  ASSERT_TRUE(SendText(relayed->socket(), "abc"));
  ASSERT_TRUE(net::ShutdownSend(relayed->socket()));
  std::string rest;
  EXPECT_TRUE(WaitEnd(transport->socket(), &rest));
  EXPECT_EQ("abc", rest);

  const Socket waiting = Client();
  EXPECT_EQ(wire::kCreateTransport, NextCommand(command));
  const Socket queued = Client();
  ServerSettings busy;
  busy.connectorListen.port = server->ConnectorPort();
  EXPECT_THROW(Server(busy).Start(), std::runtime_error);
  server->Stop();
  for (const Socket& s : {relayed, waiting, queued, command}) EXPECT_TRUE(WaitEnd(s->socket()));
  server->Stop();  // again: nothing left to do
}

TEST(Options, RejectsBadCommandLines) {
  const std::vector<std::vector<std::string>> bad = {
      {"--bogus"}, {"--ping-interval"}, {"--ping-interval", "0"}, {"--ping-interval", "-5"},
      {"--ping-interval", "12x"}, {"--transport-timeout", "3600001"}, {"--connector-listen", "127.0.0.1"},
      {"--connector-listen", ":80"}, {"--public-listen", "127.0.0.1:65536"}, {"--public-listen", "127.0.0.1:"},
      {"--public-listen", "h:99999999999"}, {"--log="}, {"--log-level", "11"}, {"extra"},
  };
  for (const auto& args : bad) {
    Options o;
    std::string error;
    EXPECT_FALSE(ParseOptions(args, &o, &error)) << args.back();
    EXPECT_FALSE(error.empty()) << args.back();
  }
}

}  // namespace
}  // namespace relvoproxy
