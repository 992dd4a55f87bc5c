// relvoproxy end to end: public clients -> relvoproxy (the Linux build, a
// child process) -> relvoclient (the build under test: Linux, or Windows
// under Wine) -> an echo server in this test, all on 127.0.0.1. Every byte
// is checksummed on the way up (at the echo server) and on the way back
// down (at the client).
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"
#include "tests/support/text.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

// Generous: a connector under Wine starts in seconds and relays slower.
constexpr auto kSoon = 60s;
constexpr auto kTransfer = 300s;

// The Linux relvoproxy binary, from RELVO_PROXY.
std::string ProxyBinary() {
  const char* path = std::getenv("RELVO_PROXY");
  if (path == nullptr || *path == '\0') throw std::runtime_error("RELVO_PROXY is not set");
  return path;
}

// 64-bit FNV-1a, fed in pieces.
struct Checksum {
  uint64_t value = 14695981039346656037ull;
  void Add(const char* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
      value ^= static_cast<unsigned char>(data[i]);
      value *= 1099511628211ull;
    }
  }
};

bool SendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Bounds every receive on `fd`.
void ReceiveTimeout(int fd, std::chrono::seconds limit) {
  timeval value{};
  value.tv_sec = static_cast<time_t>(limit.count());
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
}

// The target server: echoes every connection on 127.0.0.1 and records,
// when a connection ends, how many bytes it received and their checksum.
class EchoServer {
 public:
  struct Received {
    uint64_t bytes = 0;
    uint64_t checksum = 0;
  };

  EchoServer() : listener_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address = LoopbackAddress(0);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, SOMAXCONN) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("echo server cannot listen");
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { Accept(); });
  }

  // Shutting the sockets down wakes every blocked call; then all are joined.
  ~EchoServer() {
    ::shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const int fd : open_) ::shutdown(fd, SHUT_RDWR);
    }
    for (std::thread& t : connections_) t.join();
    ::close(listener_);
  }

  uint16_t port() const { return port_; }

  std::vector<Received> Ended() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_;
  }

 private:
  void Accept() {
    for (;;) {
      const int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      open_.push_back(fd);
      connections_.emplace_back([this, fd] { Echo(fd); });
    }
  }

  void Echo(int fd) {
    Received received;
    Checksum sum;
    char buffer[16384];
    for (;;) {
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      sum.Add(buffer, static_cast<size_t>(n));
      received.bytes += static_cast<uint64_t>(n);
      if (!SendAll(fd, buffer, static_cast<size_t>(n))) break;
    }
    received.checksum = sum.value;
    std::lock_guard<std::mutex> lock(mutex_);
    ended_.push_back(received);
    open_.erase(std::find(open_.begin(), open_.end(), fd));
    ::close(fd);
  }

  int listener_;
  uint16_t port_ = 0;
  std::thread acceptor_;
  mutable std::mutex mutex_;
  std::vector<int> open_;                 // guarded by mutex_
  std::list<std::thread> connections_;    // guarded by mutex_ until the acceptor ends
  std::vector<Received> ended_;           // guarded by mutex_
};

// One public client: sends its payload while reading the echo, and closes
// once everything came back (never half-closes before: the connector ends
// a relay when either side ends).
struct ClientResult {
  bool connected = false;
  bool sent = false;
  uint64_t received = 0;
  uint64_t sentChecksum = 0;
  uint64_t receivedChecksum = 0;
};

ClientResult RunClient(uint16_t port, const std::string& payload) {
  ClientResult result;
  Checksum sent;
  sent.Add(payload.data(), payload.size());
  result.sentChecksum = sent.value;
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in address = LoopbackAddress(port);
  if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (fd >= 0) ::close(fd);
    return result;
  }
  result.connected = true;
  ReceiveTimeout(fd, std::chrono::duration_cast<std::chrono::seconds>(kTransfer));
  std::thread sender([&] { result.sent = SendAll(fd, payload.data(), payload.size()); });
  Checksum received;
  char buffer[16384];
  while (result.received < payload.size()) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    received.Add(buffer, static_cast<size_t>(n));
    result.received += static_cast<uint64_t>(n);
  }
  result.receivedChecksum = received.value;
  ::shutdown(fd, SHUT_RDWR);  // ends a sender still blocked after a failure
  sender.join();
  ::close(fd);
  return result;
}

std::map<std::string, uint16_t> ReadPorts(const std::string& path) {
  std::map<std::string, uint16_t> ports;
  const std::string text = ReadFile(path);
  size_t start = 0;
  for (size_t eol = text.find('\n'); eol != std::string::npos; eol = text.find('\n', start)) {
    const std::string line = text.substr(start, eol - start);
    const size_t eq = line.find('=');
    if (eq != std::string::npos) ports[line.substr(0, eq)] = static_cast<uint16_t>(std::atoi(line.c_str() + eq + 1));
    start = eol + 1;
  }
  return ports;
}

// A relvoproxy child process on ephemeral loopback ports.
class Proxy {
 public:
  Proxy(const TempDir& dir, const std::vector<std::string>& extra = {}) : dir_(dir) {
    std::vector<std::string> argv = {ProxyBinary(),       "--connector-listen", "127.0.0.1:0",
                                     "--public-listen",   "127.0.0.1:0",        "--port-file",
                                     dir / "ports.txt",   "--log",              dir / "proxy.log"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    process_.emplace(argv, dir / "proxy.out", dir / "proxy.err");
  }

  // Waits for the port file; false when it did not come.
  bool WaitPorts() {
    if (!WaitFor([&] { return std::filesystem::exists(dir_.path() / "ports.txt"); }, kSoon)) return false;
    const auto ports = ReadPorts(dir_ / "ports.txt");
    if (ports.count("connector") == 0 || ports.count("public") == 0) return false;
    connectorPort = ports.at("connector");
    publicPort = ports.at("public");
    return connectorPort != 0 && publicPort != 0;
  }

  std::string Log() const { return ReadFile(dir_.path() / "proxy.log"); }
  bool LogHas(const std::string& text, size_t times = 1, std::chrono::milliseconds limit = kSoon) const {
    return WaitFor([&] { return Occurrences(Log(), text) >= times; }, limit);
  }
  ChildProcess& process() { return *process_; }

  uint16_t connectorPort = 0;
  uint16_t publicPort = 0;

 private:
  const TempDir& dir_;
  std::optional<ChildProcess> process_;
};

TEST(RelvoProxyE2E, HundredConcurrentClientsRelayThroughTheConnectorWithIntactBytesBothWays) {
  constexpr int kClients = 100;
  constexpr size_t kBytes = 100 * 1024;

  TempDir dir;
  EchoServer echo;
  Proxy proxy(dir, {"--ping-interval", "1000", "--transport-timeout", "60000"});
  ASSERT_TRUE(proxy.WaitPorts()) << ReadFile(dir.path() / "proxy.err") << proxy.Log();

  TempDir clientDir;
  const std::string exe = InstallClient(clientDir);
  WriteFile(clientDir.path() / "relvoclient.ini",
            "[general]\nreconnect_tmo=15000\n"
            "[proxyServer]\naddress=127.0.0.1\nport=" + std::to_string(proxy.connectorPort) + "\n"
            "[servers]\necho=1\n"
            "[echo]\naddress=127.0.0.1\nport=" + std::to_string(echo.port()) + "\nmaxcon=1000\n");
  ChildProcess connector(ClientCommand(exe, {"-debug"}), clientDir / "stdout.txt", clientDir / "stderr.txt");
  auto connectorEvents = [&] { return ReadFile(clientDir.path() / "logs" / "events.log"); };
  ASSERT_TRUE(proxy.LogHas("command connection up")) << proxy.Log() << connectorEvents();

  std::vector<std::string> payloads;
  for (int i = 0; i < kClients; ++i) payloads.push_back(PatternBytes(kBytes, static_cast<uint32_t>(i) + 1));
  std::vector<ClientResult> results(kClients);
  {
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
      clients.emplace_back([&, i] { results[i] = RunClient(proxy.publicPort, payloads[i]); });
    }
    for (std::thread& t : clients) t.join();
  }

  // Down: every client got its own bytes back, whole.
  std::multiset<uint64_t> sent;
  for (int i = 0; i < kClients; ++i) {
    EXPECT_TRUE(results[i].connected) << i;
    EXPECT_TRUE(results[i].sent) << i;
    EXPECT_EQ(kBytes, results[i].received) << i;
    EXPECT_EQ(results[i].sentChecksum, results[i].receivedChecksum) << i;
    sent.insert(results[i].sentChecksum);
  }
  // Up: the target received exactly what the clients sent, one connection each.
  ASSERT_TRUE(WaitFor([&] { return echo.Ended().size() >= static_cast<size_t>(kClients); }, kSoon))
      << echo.Ended().size() << " target connections ended";
  std::multiset<uint64_t> arrived;
  for (const EchoServer::Received& r : echo.Ended()) {
    EXPECT_EQ(kBytes, r.bytes);
    arrived.insert(r.checksum);
  }
  EXPECT_EQ(sent, arrived);

  // The proxy's one line per session, with the bytes of both directions.
  const std::string both = "relayed " + std::to_string(kBytes) + " bytes up, " + std::to_string(kBytes) + " bytes down";
  EXPECT_TRUE(proxy.LogHas(both, kClients)) << Occurrences(proxy.Log(), both) << " session lines";
  EXPECT_EQ(0u, Occurrences(proxy.Log(), "not relayed")) << proxy.Log();

  // The connector stops on Ctrl+C; the proxy writes its connector line.
  connector.Interrupt();
  EXPECT_EQ(std::optional<int>(0), connector.WaitExit(kSoon)) << connectorEvents();
  EXPECT_TRUE(proxy.LogHas("command connection ended")) << proxy.Log();
  EXPECT_TRUE(proxy.LogHas(std::to_string(kClients) + " relayed, 0 refused, 0 failed")) << proxy.Log();

  proxy.process().Interrupt();
  EXPECT_EQ(std::optional<int>(0), proxy.process().WaitExit(kSoon)) << proxy.Log();
  EXPECT_EQ(1u, Occurrences(proxy.Log(), "SIGINT: relvoproxy stopping"));
  EXPECT_EQ(1u, Occurrences(proxy.Log(), "relvoproxy stopped"));
}

TEST(RelvoProxyE2E, ProxyAloneClosesClientsWithoutConnectorAndStopsOnSigterm) {
  TempDir dir;
  Proxy proxy(dir, {"--transport-timeout", "200"});
  ASSERT_TRUE(proxy.WaitPorts()) << ReadFile(dir.path() / "proxy.err");
  const ClientResult r = RunClient(proxy.publicPort, "hello");
  EXPECT_TRUE(r.connected);
  EXPECT_EQ(0u, r.received);
  EXPECT_TRUE(proxy.LogHas("no connector took the client in time")) << proxy.Log();
  proxy.process().Terminate();
  EXPECT_EQ(std::optional<int>(0), proxy.process().WaitExit(kSoon)) << proxy.Log();
  EXPECT_EQ(1u, Occurrences(proxy.Log(), "SIGTERM: relvoproxy stopping"));
}

TEST(RelvoProxyE2E, BadCommandLineAndBusyPortsFailWithTheirExitCodes) {
  TempDir dir;
  {
    ChildProcess help({ProxyBinary(), "--help"}, dir / "help.out", dir / "help.err");
    EXPECT_EQ(std::optional<int>(0), help.WaitExit(kSoon));
    EXPECT_NE(std::string::npos, ReadFile(dir.path() / "help.out").find("--connector-listen"));
  }
  {
    ChildProcess bad({ProxyBinary(), "--ping-interval", "soon"}, dir / "bad.out", dir / "bad.err");
    EXPECT_EQ(std::optional<int>(2), bad.WaitExit(kSoon));
    EXPECT_NE(std::string::npos, ReadFile(dir.path() / "bad.err").find("--ping-interval"));
  }
  Proxy first(dir);
  ASSERT_TRUE(first.WaitPorts());
  TempDir other;
  ChildProcess busy({ProxyBinary(), "--connector-listen", "127.0.0.1:" + std::to_string(first.connectorPort),
                     "--public-listen", "127.0.0.1:0", "--log", other / "proxy.log"},
                    other / "out", other / "err");
  EXPECT_EQ(std::optional<int>(1), busy.WaitExit(kSoon));
  EXPECT_NE(std::string::npos, ReadFile(other.path() / "proxy.log").find("cannot start"));
  first.process().Interrupt();
  EXPECT_EQ(std::optional<int>(0), first.process().WaitExit(kSoon));
}

}  // namespace
