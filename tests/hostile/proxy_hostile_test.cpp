// Hostile peers against relvoproxy (the Linux build), with the real relvoclient (the build under test: Linux, or
// Windows under Wine) as the well-behaved connector and an echo target behind it. In each case a bad peer does its
// worst from 127.0.0.2 while clients from 127.0.0.1 must be served within a bound, and both processes must stop within
// 2 s.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <thread>

#include "tests/support/relay_fixture.h"

using namespace testsupport;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace wire = relvo::wire;

namespace {

constexpr auto kServed = 20s;  // one client's echo, a request sent elsewhere after a time-out included
const char* const kBad = "127.0.0.2";

// A connection to 127.0.0.1:`port` from the loopback address `from`; the receive buffer is set first when
// `receiveBuffer` is not 0. Invalid when the connect failed.
OwnedSocket ConnectFrom(const char* from, uint16_t port, int receiveBuffer = 0) {
  OwnedSocket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (receiveBuffer != 0) ::setsockopt(s.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  const linger reset{1, 0};  // closed with a reset: no TIME_WAIT left on 127.0.0.2's ports
  ::setsockopt(s.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  sockaddr_in local = LoopbackAddress(0);
  ::inet_pton(AF_INET, from, &local.sin_addr);
  const sockaddr_in remote = LoopbackAddress(port);
  if (::bind(s.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      ::connect(s.get(), reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) {
    return OwnedSocket();
  }
  return s;
}

// Receives until `*bytes` holds `count` bytes or ends with the byte `stop` (false), the peer ends the stream (true) or
// `within` passes (false).
bool Receive(SOCKET s, std::string* bytes, size_t count, Clock::duration within, int stop = -1) {
  const auto done = [&] {
    return bytes->size() >= count || (stop >= 0 && !bytes->empty() && bytes->back() == static_cast<char>(stop));
  };
  for (const auto until = Clock::now() + within; !done();) {
    pollfd p{s, POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    char buffer[4096];
    const ssize_t n = ::recv(s, buffer, std::min(count - bytes->size(), sizeof buffer), 0);
    if (n <= 0) return true;
    bytes->append(buffer, static_cast<size_t>(n));
  }
  return false;
}

// Whether the peer ended `s` within `within` (bytes before the end are dropped).
bool Ended(SOCKET s, Clock::duration within, std::string bytes = "") { return Receive(s, &bytes, SIZE_MAX, within); }

// The connector's side of the handshake, then the connection type word.
bool Handshake(SOCKET s, uint16_t type) {
  std::string key, accepted;
  if (Receive(s, &key, wire::kMaxKeyBytes, kSoon, '\0') || key.empty() || key.back() != '\0') return false;
  const std::string answer = wire::HandshakeAnswer(key.substr(0, key.size() - 1)) + std::string(1, '\0');
  if (::send(s, answer.data(), answer.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(answer.size())) return false;
  Receive(s, &accepted, 2, kSoon);
  const std::string word = wire::Word(type);
  return accepted == wire::Word(wire::kAccepted) && ::send(s, word.data(), 2, MSG_NOSIGNAL) == 2;
}

// The log lines that hold every one of `parts`.
size_t LinesWith(const std::string& log, const std::vector<std::string>& parts) {
  size_t count = 0;
  for (size_t start = 0, end; start < log.size(); start = end + 1) {
    end = std::min(log.find('\n', start), log.size());
    const std::string line = log.substr(start, end - start);
    count += std::all_of(parts.begin(), parts.end(), [&](const std::string& part) { return Contains(line, part); });
  }
  return count;
}

// Idle connections from 127.0.0.2, a new one every 2 ms, each held until the proxy ends it (all it lets a flood hold).
class Flood {
 public:
  explicit Flood(uint16_t port) : thread_([this, port](std::stop_token stop) {
    std::vector<OwnedSocket> open;
    const auto gone = [](const OwnedSocket& s) {  // the key is read and dropped
      pollfd p{s.get(), POLLIN, 0};
      char bytes[256];
      return ::poll(&p, 1, 0) == 1 && ::recv(s.get(), bytes, sizeof bytes, 0) <= 0;
    };
    std::mutex mutex;
    std::condition_variable_any tick;
    std::unique_lock<std::mutex> lock(mutex);
    while (!tick.wait_for(lock, stop, 2ms, [&] { return stop.stop_requested(); })) {
      if (OwnedSocket s = ConnectFrom(kBad, port); s.valid()) open.push_back(std::move(s));
      std::erase_if(open, gone);
      ++made_;
    }
  }) {}
  size_t made() const { return made_.load(); }

 private:
  std::atomic<size_t> made_{0};
  std::jthread thread_;  // stopped and joined first
};

class ProxyHostile : public ::testing::Test {
 protected:
  // Both processes stop on request within 2 s, whatever the bad peer did.
  void TearDown() override {
    if (client) {
      client->Interrupt();
      ASSERT_EQ(std::optional<int>(0), client->WaitExit(kSoon));
      const std::string events = ReadFile(clientDir.path() / "logs" / "events.log");
      const long took = LineTime(events, "Completion thread stopped.") - LineTime(events, "Service stopping...");
      EXPECT_TRUE(took >= 0 && took <= 2000) << took << "\n" << events;
    }
    if (proxy) {
      proxy->Terminate();
      ASSERT_EQ(std::optional<int>(0), proxy->WaitExit(kSoon)) << Log();
      const long took = LineTime(Log(), "relvoproxy stopped") - LineTime(Log(), "relvoproxy stopping");
      EXPECT_TRUE(took >= 0 && took <= 2000) << took << "\n" << Log();
    }
  }

  void StartProxy(std::vector<std::string> options) {
    const char* binary = std::getenv("RELVO_PROXY");
    options.insert(options.begin(), {binary ? binary : "relvoproxy", "--connector-listen", "127.0.0.1:0",
                                     "--public-listen", "127.0.0.1:0", "--port-file", dir / "ports.txt", "--log",
                                     dir / "proxy.log"});
    proxy.emplace(options, dir / "proxy.out", dir / "proxy.err");
    ASSERT_TRUE(WaitFor([&] { return Contains(ReadFile(dir.path() / "ports.txt"), "public="); }, kSoon))
        << ReadFile(dir.path() / "proxy.err");
    const std::string ports = ReadFile(dir.path() / "ports.txt");
    connectorPort = static_cast<uint16_t>(std::atoi(ports.c_str() + ports.find("connector=") + 10));
    publicPort = static_cast<uint16_t>(std::atoi(ports.c_str() + ports.find("public=") + 7));
  }

  // relvoclient, relaying to the echo target; waits for its command connection to be taken up.
  void StartConnector() {
    const std::string exe = InstallClient(clientDir);
    WriteFile(clientDir.path() / "relvoclient.ini",
              "[general]\nreconnect_tmo=1000\n[proxyServer]\naddress=127.0.0.1\nport=" +
                  std::to_string(connectorPort) + "\n[servers]\necho=1\n[echo]\naddress=127.0.0.1\nport=" +
                  std::to_string(echo.port()) + "\n");
    client.emplace(ClientCommand(exe, {"-debug"}), clientDir / "stdout.txt", clientDir / "stderr.txt");
    ASSERT_TRUE(WaitFor([&] { return LinesWith(Log(), {" 127.0.0.1:", "command connection up"}) > 0; }, kSoon))
        << Log();
  }

  // A client from 127.0.0.1 gets its bytes back through the whole chain.
  bool Served(int n) {
    OwnedSocket s = ConnectFrom("127.0.0.1", publicPort);
    const std::string bytes = "client " + std::to_string(n);
    std::string back;
    ::send(s.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    Receive(s.get(), &back, bytes.size(), kServed);
    return back == bytes;
  }

  std::string Log() const { return ReadFile(dir.path() / "proxy.log"); }

  TempDir dir, clientDir;
  RelayTarget echo;
  std::optional<ChildProcess> proxy, client;  // stopped before the peers go
  uint16_t connectorPort = 0, publicPort = 0;
};

TEST_F(ProxyHostile, CommandConnectionThatReadsNothingIsDroppedWhileOthersAreServed) {
  // Pings fill every buffer on the way in seconds. The answer time-out is longer than that: the first client, sent to
  // the deaf connector (the first in turn), goes on to the connector only once the deaf one is dropped.
  ASSERT_NO_FATAL_FAILURE(StartProxy({"--ping-interval", "1", "--transport-timeout", "60000"}));
  OwnedSocket deaf = ConnectFrom(kBad, connectorPort, 1);  // the smallest window, never read after the handshake
  ASSERT_TRUE(Handshake(deaf.get(), wire::kCommandConnection));
  ASSERT_TRUE(WaitFor([&] { return LinesWith(Log(), {kBad, "command connection up"}) == 1; }, kSoon)) << Log();
  ASSERT_NO_FATAL_FAILURE(StartConnector());
  EXPECT_TRUE(Served(0)) << Log();
  EXPECT_EQ(1u, LinesWith(Log(), {kBad, "command connection ended", "it took no byte for"})) << Log();
  for (int n = 1; n < 6; ++n) EXPECT_TRUE(Served(n)) << Log();
}

TEST_F(ProxyHostile, FloodOfIdleConnectionsToTheConnectorPortLocksNoConnectorOut) {
  ASSERT_NO_FATAL_FAILURE(StartProxy({}));
  Flood flood(connectorPort);
  ASSERT_TRUE(WaitFor([&] { return flood.made() >= 300; }, kSoon));  // more than every handshake slot
  ASSERT_NO_FATAL_FAILURE(StartConnector());
  for (int n = 0; n < 3; ++n) EXPECT_TRUE(Served(n)) << Log();
  // The flood pushed out its own handshakes, never the connector's.
  EXPECT_TRUE(Contains(Log(), "replaced by #")) << Log();
  EXPECT_EQ(0u, LinesWith(Log(), {"connector connection #", " 127.0.0.1:"})) << Log();
}

TEST_F(ProxyHostile, IdlePublicClientsAreBoundedPerAddressAndInTime) {
  ASSERT_NO_FATAL_FAILURE(StartProxy({"--max-clients-per-address", "8", "--idle-timeout", "2000"}));
  ASSERT_NO_FATAL_FAILURE(StartConnector());
  std::vector<OwnedSocket> idle;
  for (int n = 0; n < 30; ++n) idle.push_back(ConnectFrom(kBad, publicPort));
  EXPECT_TRUE(Served(0)) << Log();
  for (const OwnedSocket& s : idle) EXPECT_TRUE(Ended(s.get(), kSoon)) << Log();
  // Each line is written once its session has closed both sockets.
  EXPECT_TRUE(WaitFor(
      [&] { return LinesWith(Log(), {kBad, "relayed 0 bytes up, 0 bytes down", "no byte either way for 2000 ms"}) == 8; },
      kSoon))
      << Log();
  EXPECT_TRUE(Contains(Log(), "not relayed: too many clients from its address")) << Log();
  EXPECT_TRUE(Served(1)) << Log();
}

TEST_F(ProxyHostile, ConnectorFromOutsideTheAllowListIsClosedBeforeItsHandshake) {
  ASSERT_NO_FATAL_FAILURE(StartProxy({"--connector-allow", "127.0.0.1/32,::1"}));
  OwnedSocket outsider = ConnectFrom(kBad, connectorPort);
  std::string key;
  EXPECT_TRUE(Receive(outsider.get(), &key, SIZE_MAX, kSoon));
  EXPECT_EQ("", key);
  EXPECT_EQ(1u, LinesWith(Log(), {kBad, "closed: its address is not in --connector-allow"})) << Log();
  ASSERT_NO_FATAL_FAILURE(StartConnector());
  EXPECT_TRUE(Served(0)) << Log();
}

TEST_F(ProxyHostile, CommandConnectionsBeyondTheLimitPushOutTheAddressHoldingTheMost) {
  ASSERT_NO_FATAL_FAILURE(StartProxy({"--max-connectors", "3", "--transport-timeout", "2000"}));
  std::vector<OwnedSocket> bad;
  for (int n = 0; n < 5; ++n) {
    bad.push_back(ConnectFrom(kBad, connectorPort));
    ASSERT_TRUE(Handshake(bad.back().get(), wire::kCommandConnection));
  }
  ASSERT_TRUE(WaitFor([&] { return LinesWith(Log(), {kBad, "command connection up"}) == 5; }, kSoon)) << Log();
  ASSERT_NO_FATAL_FAILURE(StartConnector());
  // The first three went: two for their own address's newer ones, one for the connector.
  for (int n = 0; n < 3; ++n) EXPECT_TRUE(Ended(bad[n].get(), kSoon)) << n << "\n" << Log();
  EXPECT_EQ(3u, LinesWith(Log(), {kBad, "replaced by connector #", "at most 3 command connections"})) << Log();
  for (int n = 0; n < 3; ++n) EXPECT_TRUE(Served(n)) << Log();
}

}  // namespace
