// The fake proxy server itself, driven by a minimal connector side written
// here: its answer hash against the published vectors, the handshake
// variants, the command scripts and the records it keeps.
#include "tests/support/fake_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include <gtest/gtest.h>

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

// Key bytes (hex) and the answer text, one line per vector of the
// handshake answer table; the first one is the empty key.
const std::pair<const char*, const char*> kVectors[] = {
    {"", "-1453979438"},
    {"61", "735826448"},
    {"616263", "1462498813"},
    {"68656c6c6f", "-2035115983"},
    {"30313233343536373839", "-929015376"},
    {"4b45592d3132333435", "868801796"},
    {"7f", "-1516070360"},
    {"54686520717569636b2062726f776e20666f78206a756d7073206f76657220746865206c617a7920646f67", "-1312838265"},
};

std::string FromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

const std::string kZero(1, '\0');
const std::string kAccept("\x01\x00", 2);
const std::string kCommandType("\x01\x00", 2);

// The connector's side of one connection, with bounded receives.
class Peer {
 public:
  explicit Peer(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    error_ = connected_ ? 0 : errno;
  }
  ~Peer() { Close(); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  bool connected() const { return connected_; }
  int error() const { return error_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  void Send(const std::string& bytes) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL));
  }
  // One receive, waiting at most `timeout`; "" on time-out or close.
  std::string RecvOnce(std::chrono::milliseconds timeout = 10s) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return "";
    char buf[4096];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) closed_ = true;
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
  }
  // Receives until `count` bytes arrived, the peer closed or 10 s passed.
  std::string RecvExactly(size_t count) {
    std::string got;
    while (got.size() < count && !closed_) {
      const std::string part = RecvOnce();
      if (part.empty() && !closed_) break;
      got += part;
    }
    return got;
  }
  // True when the other side has closed (within 10 s).
  bool SeesClose() {
    while (!closed_) {
      if (RecvOnce().empty() && !closed_) return false;
    }
    return true;
  }
  // The connector's handshake for a key that ends with a zero byte.
  void Handshake(const std::string& type = kCommandType) {
    const std::string key = RecvExactly(1);
    std::string all = key;
    while (!all.empty() && all.back() != '\0' && !closed_) all += RecvOnce();
    Send(HandshakeAnswer(all.substr(0, all.find('\0'))) + kZero);
    EXPECT_EQ(kAccept, RecvExactly(2));
    Send(type);
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  bool closed_ = false;
  int error_ = 0;
};

ProxyScript WithHandshake(HandshakeScript hs) {
  ProxyScript s;
  s.handshakes = {std::move(hs)};
  return s;
}

TEST(HandshakeAnswer, MatchesEveryPublishedVector) {
  for (const auto& [hex, answer] : kVectors) {
    EXPECT_EQ(answer, HandshakeAnswer(FromHex(hex))) << "key " << hex;
  }
}

TEST(FakeProxy, RunsTheHandshakeAndRecordsIt) {
  FakeProxy proxy;
  Peer peer(proxy.port());
  ASSERT_TRUE(peer.connected());
  EXPECT_EQ("KEY-12345" + kZero, peer.RecvExactly(10));
  peer.Send("868801796" + kZero);
  EXPECT_EQ(kAccept, peer.RecvExactly(2));
  peer.Send(kCommandType);
  ASSERT_TRUE(proxy.WaitUntil([](const auto& all) { return !all.empty() && all[0].Handshaken(); }));

  const ProxyConnection c = proxy.Connection(0);
  EXPECT_EQ(0, c.index);
  EXPECT_EQ("KEY-12345" + kZero, c.keySent);
  EXPECT_EQ("868801796" + kZero, c.answer);
  EXPECT_EQ(c.answer, c.expectedAnswer);
  EXPECT_TRUE(c.answerOk);
  EXPECT_TRUE(c.acceptanceSent);
  EXPECT_EQ(kCommandType, c.typeBytes);
  EXPECT_EQ(1, c.connType);
  EXPECT_EQ("868801796" + kZero + kCommandType, c.Received());
  EXPECT_LE(c.accepted, c.typed);
  EXPECT_TRUE(c.failures.empty());
  EXPECT_EQ(1u, proxy.CommandConnections().size());
}

TEST(FakeProxy, KeyWithoutZeroAndEmptyKey) {
  ProxyScript script;
  script.handshakes = {HandshakeScript{.key = "abc", .keyZero = false}, HandshakeScript{.key = ""}};
  FakeProxy proxy(script);
  {
    Peer peer(proxy.port());
    EXPECT_EQ("abc", peer.RecvExactly(3));
    peer.Send("1462498813" + kZero);
    EXPECT_EQ(kAccept, peer.RecvExactly(2));
  }
  {
    Peer peer(proxy.port());
    EXPECT_EQ(kZero, peer.RecvExactly(1));
    peer.Send("-1453979438" + kZero);
    EXPECT_EQ(kAccept, peer.RecvExactly(2));
  }
  ASSERT_TRUE(proxy.WaitUntil([](const auto& all) { return all.size() == 2 && all[0].closed && all[1].closed; }));
  for (const ProxyConnection& c : proxy.Connections()) {
    EXPECT_TRUE(c.answerOk) << c.index;
    EXPECT_TRUE(c.closedByPeer) << c.index;
    EXPECT_EQ(-1, c.connType) << c.index;
  }
}

TEST(FakeProxy, WrongAnswerIsRecordedAndTheProxyCloses) {
  FakeProxy proxy;
  Peer peer(proxy.port());
  peer.RecvExactly(10);
  peer.Send("12345" + kZero + "tail");
  EXPECT_TRUE(peer.SeesClose());
  const ProxyConnection c = proxy.Connection(0);
  EXPECT_EQ("12345" + kZero, c.answer);
  EXPECT_FALSE(c.answerOk);
  EXPECT_FALSE(c.acceptanceSent);
  EXPECT_TRUE(c.closedByProxy);
  EXPECT_FALSE(c.failures.empty());
}

TEST(FakeProxy, SplitKeySendsTheRestAfterTheAnswer) {
  FakeProxy proxy(WithHandshake({.key = "abc", .splitAt = 2}));
  Peer peer(proxy.port());
  EXPECT_EQ("ab", peer.RecvOnce());  // nothing more comes before the answer
  peer.Send(HandshakeAnswer("ab") + kZero);
  EXPECT_EQ("c" + kZero + kAccept, peer.RecvExactly(4));
  peer.Send(kCommandType);
  ASSERT_TRUE(proxy.WaitForCommandConnections(1));
  const ProxyConnection c = proxy.Connection(0);
  EXPECT_EQ(HandshakeAnswer("ab") + kZero, c.expectedAnswer);
  EXPECT_TRUE(c.answerOk);
  EXPECT_EQ("abc" + kZero, c.keySent);
}

TEST(FakeProxy, AcceptanceWordCanBeOneByteOrMissing) {
  ProxyScript script;
  script.handshakes = {HandshakeScript{.acceptance = "\x05"}, HandshakeScript{.acceptance = ""}};
  FakeProxy proxy(script);
  Peer first(proxy.port());
  first.RecvExactly(10);
  first.Send(HandshakeAnswer("KEY-12345") + kZero);
  EXPECT_EQ("\x05", first.RecvExactly(1));

  Peer second(proxy.port());
  second.RecvExactly(10);
  second.Send(HandshakeAnswer("KEY-12345") + kZero);
  ASSERT_TRUE(proxy.WaitUntil([](const auto& all) { return all.size() == 2 && all[1].answered; }));
  EXPECT_EQ("", second.RecvOnce(300ms));  // stalled: no acceptance word
  second.Close();
  ASSERT_TRUE(proxy.WaitForClosed(1));
  EXPECT_TRUE(proxy.Connection(1).answerOk);
  EXPECT_FALSE(proxy.Connection(1).acceptanceSent);
  EXPECT_TRUE(proxy.Connection(1).closedByPeer);
}

TEST(FakeProxy, StalledHandshakeSendsNothing) {
  FakeProxy proxy(WithHandshake({.sendKey = false}));
  Peer peer(proxy.port());
  ASSERT_TRUE(proxy.WaitForConnections(1));
  EXPECT_EQ("", peer.RecvOnce(300ms));
  peer.Close();
  ASSERT_TRUE(proxy.WaitForClosed(0));
  EXPECT_EQ("", proxy.Connection(0).keySent);
  EXPECT_TRUE(proxy.Connection(0).closedByPeer);
}

TEST(FakeProxy, CommandScriptRunsInOrder) {
  ProxyScript script;
  script.commandScripts = {{ProxyStep::Ping(), ProxyStep::CreateTransport(), ProxyStep::Expect(2),
                            ProxyStep::Send("\xff\xff"), ProxyStep::Wait(10ms), ProxyStep::Close()}};
  FakeProxy proxy(script);
  Peer peer(proxy.port());
  peer.Handshake();
  EXPECT_EQ(std::string("\x19\x00\x21\x00", 4), peer.RecvExactly(4));
  peer.Send(std::string("\x00\x00", 2));
  EXPECT_EQ("\xff\xff", peer.RecvExactly(2));
  EXPECT_TRUE(peer.SeesClose());
  ASSERT_TRUE(proxy.WaitForScriptDone(0));
  const ProxyConnection c = proxy.Connection(0);
  EXPECT_EQ(std::string("\x00\x00", 2), c.afterHandshake);
  EXPECT_EQ(6u, c.stepsDone);
  EXPECT_TRUE(c.closedByProxy);
  EXPECT_TRUE(c.failures.empty());
}

TEST(FakeProxy, PingsAreSpacedAndTheConnectionIsHeldAfterTheScript) {
  ProxyScript script;
  script.commandScripts = {Pings(3, 20ms)};
  FakeProxy proxy(script);
  Peer peer(proxy.port());
  peer.Handshake();
  EXPECT_EQ(std::string("\x19\x00\x19\x00\x19\x00", 6), peer.RecvExactly(6));
  ASSERT_TRUE(proxy.WaitForScriptDone(0));
  peer.Send("late");
  ASSERT_TRUE(proxy.WaitUntil([](const auto& all) { return all[0].afterHandshake == "late"; }));
  EXPECT_FALSE(proxy.Connection(0).closed);
}

TEST(FakeProxy, ExpectTimesOutAsAFailure) {
  ProxyScript script;
  script.commandScripts = {{ProxyStep::Expect(2, 50ms), ProxyStep::Ping()}};
  FakeProxy proxy(script);
  Peer peer(proxy.port());
  peer.Handshake();
  ASSERT_TRUE(proxy.WaitUntil([](const auto& all) { return !all.empty() && !all[0].failures.empty(); }));
  EXPECT_FALSE(proxy.Connection(0).scriptDone);
  EXPECT_EQ(0u, proxy.Connection(0).stepsDone);
}

TEST(FakeProxy, ScriptsFollowConnectionOrderAndType) {
  ProxyScript script;
  script.handshakes = {HandshakeScript{.acceptance = std::string("\x00\x00", 2)}, HandshakeScript{}};
  script.commandScripts = {{ProxyStep::Send("C1")}, {ProxyStep::Send("C2")}};
  script.transportScripts = {{ProxyStep::Send("T1")}};
  FakeProxy proxy(script);
  {
    Peer rejected(proxy.port());
    rejected.RecvExactly(10);
    rejected.Send(HandshakeAnswer("KEY-12345") + kZero);
    EXPECT_EQ(std::string("\x00\x00", 2), rejected.RecvExactly(2));
  }
  Peer command(proxy.port());
  command.Handshake();
  EXPECT_EQ("C1", command.RecvExactly(2));
  Peer transport(proxy.port());
  transport.Handshake(std::string("\x02\x00", 2));
  EXPECT_EQ("T1", transport.RecvExactly(2));
  Peer command2(proxy.port());
  command2.Handshake();
  EXPECT_EQ("C2", command2.RecvExactly(2));
  Peer command3(proxy.port());
  command3.Handshake();
  EXPECT_EQ("C2", command3.RecvExactly(2));  // the last script repeats

  ASSERT_TRUE(proxy.WaitForCommandConnections(3));
  EXPECT_EQ(5u, proxy.ConnectionCount());
  EXPECT_EQ(2, proxy.Connection(2).connType);
  EXPECT_EQ(3u, proxy.CommandConnections().size());
}

TEST(FakeProxy, GivenPortAndFreePort) {
  const uint16_t free = FreePort();
  Peer refused(free);
  EXPECT_FALSE(refused.connected());
  EXPECT_EQ(ECONNREFUSED, refused.error());

  FakeProxy proxy({}, free);
  EXPECT_EQ(free, proxy.port());
  Peer peer(free);
  EXPECT_TRUE(peer.connected());
}

TEST(FakeProxy, StopsWithConnectionsStillOpen) {
  auto proxy = std::make_unique<FakeProxy>(WithHandshake({.sendKey = false}));
  Peer a(proxy->port());
  Peer b(proxy->port());
  ASSERT_TRUE(proxy->WaitForConnections(2));
  proxy.reset();  // must return although both peers keep their ends open
  EXPECT_TRUE(a.SeesClose());
  EXPECT_TRUE(b.SeesClose());
}

}  // namespace
