// Soak of the whole chain on 127.0.0.1: client streams -> relvoproxy (the Linux build) -> relvoclient (the build under
// test: Linux, or Windows under Wine) -> an echo target. Streams of pseudo-random bytes (1 byte to 2 MB) run
// concurrently; some clients half-close after sending, some abort with a reset. The proxy is killed and restarted and
// the target goes down and comes back while they run. Every stream checks every byte it gets back.
//
//   relvo_soak [--minutes M] [--streams N] [gtest options]
// Without --minutes it runs a short pass (part of the test suites).
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/loopback.h"
#include "tests/support/text.h"

using namespace testsupport;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

double g_minutes = 0;  // 0: the short pass
int g_streams = 50;

// The bytes of one stream: the same start value gives the same sequence.
struct Bytes {
  uint64_t state;
  char Next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<char>(state >> 24);
  }
};

long Count(const std::string& dir) {
  return std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator());
}

// What the descriptors of process directory `proc` name, one per line. Under Wine every thread also holds pipes of
// Wine's own to its server, which come and go with threads (counted apart); those are left out.
std::vector<std::string> Descriptors(const std::string& proc) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(proc + "/fd")) {
    std::error_code error;
    const std::string name = std::filesystem::read_symlink(entry.path(), error).string();
    if (!Client().wine() || name.rfind("pipe:", 0) != 0) names.push_back(name);
  }
  return names;
}
std::string Lines(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += "  " + name + "\n";
  return text;
}

// A free port below the ephemeral range: a connect to it while nothing listens never connects to itself and takes it.
uint16_t FixedPort() {
  std::mt19937 random(std::random_device{}());
  for (;;) {
    const uint16_t port = static_cast<uint16_t>(20000 + random() % 12000);
    OwnedSocket probe(::socket(AF_INET, SOCK_STREAM, 0));
    const sockaddr_in address = LoopbackAddress(port);
    if (::bind(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return port;
  }
}

// Echoes every connection and closes it after the client's end; Stop drops the listener and every connection, Start
// listens again on the same port.
class EchoTarget {
 public:
  ~EchoTarget() { Stop(); }
  void Start(uint16_t port) {
    // No descriptor may leak into the child processes: a copy there keeps connections open after the test closed them.
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in address = LoopbackAddress(port_ = port);
    if (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 1024) != 0) {
      throw std::runtime_error("echo target cannot listen");
    }
    acceptor_ = std::thread([this, fd = listener_] {
      for (int c; (c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0 || errno == EINTR || errno == ECONNABORTED;) {
        if (c < 0) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        open_.push_back(c);
        threads_.emplace_back([this, c] { Echo(c); });
      }
    });
  }
  void Stop() {
    if (listener_ < 0) return;
    ::shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    ::close(listener_);
    listener_ = -1;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const int c : open_) ::shutdown(c, SHUT_RDWR);
    }
    for (std::thread& t : threads_) t.join();  // the acceptor that added them has ended
    threads_.clear();
  }
  uint16_t port() const { return port_; }

 private:
  void Echo(int c) {
    char buffer[16384];
    for (ssize_t n; (n = ::recv(c, buffer, sizeof buffer, 0)) > 0;) {
      if (::send(c, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) break;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    open_.remove(c);
    ::close(c);
  }

  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread acceptor_;
  std::mutex mutex_;
  std::list<int> open_;
  std::list<std::thread> threads_;
};

enum class Mode { kWhole, kHalfClose, kAbort };
enum class Outcome { kComplete, kShort, kCorrupt, kRefused, kAborted };

// One client stream; the bytes it gets back are checked as they arrive.
Outcome RunStream(uint16_t port, uint64_t start, size_t size, Mode mode) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = LoopbackAddress(port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return Outcome::kRefused;
  }
  const timeval bound{60, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  // An aborting client sends a part that fits in the socket buffers, reads some of the echo and resets the connection.
  const size_t toSend = mode == Mode::kAbort ? 1 + start % std::min<size_t>(size, 65536) : size;
  std::thread sender([&] {
    Bytes bytes{start};
    std::vector<char> chunk(65536);
    for (size_t sent = 0; sent < toSend;) {
      const size_t n = std::min(chunk.size(), toSend - sent);
      for (size_t i = 0; i < n; ++i) chunk[i] = bytes.Next();
      if (::send(fd, chunk.data(), n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) return;
      sent += n;
    }
    if (mode == Mode::kHalfClose) ::shutdown(fd, SHUT_WR);
  });
  Bytes expected{start};
  const size_t toRead = mode == Mode::kAbort ? toSend / 2 : toSend;
  size_t received = 0;
  bool intact = true;
  bool ended = false;  // an orderly end of the stream came after the bytes
  char buffer[65536];
  while (intact && (received < toRead || (mode == Mode::kHalfClose && !ended))) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      ended = n == 0;
      break;
    }
    for (ssize_t i = 0; i < n && intact; ++i) intact = received + static_cast<size_t>(i) < toSend && buffer[i] == expected.Next();
    received += static_cast<size_t>(n);
  }
  ::shutdown(fd, mode == Mode::kAbort ? SHUT_RD : SHUT_RDWR);  // ends a blocked sender
  sender.join();
  if (mode == Mode::kAbort) {
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  }
  ::close(fd);
  if (!intact) return Outcome::kCorrupt;
  if (mode == Mode::kAbort) return Outcome::kAborted;
  return received == toSend && (mode != Mode::kHalfClose || ended) ? Outcome::kComplete : Outcome::kShort;
}

// relvoproxy (the Linux build), started again on the same ports after a kill.
struct Proxy {
  bool Start() {
    std::filesystem::remove(dir.path() / "ports.txt");
    process.reset();
    process.emplace(std::vector<std::string>{std::getenv("RELVO_PROXY") ? std::getenv("RELVO_PROXY") : "relvoproxy",
                                             "--connector-listen", "127.0.0.1:" + std::to_string(connector),
                                             "--public-listen", "127.0.0.1:" + std::to_string(clients), "--port-file",
                                             dir / "ports.txt", "--log", dir / "proxy.log", "--ping-interval", "500",
                                             "--transport-timeout", "10000"},
                    dir / "proxy.out", dir / "proxy.err");
    return WaitFor([&] { return Contains(ReadFile(dir.path() / "ports.txt"), "public="); }, 30s);
  }

  TempDir dir;
  uint16_t connector = FixedPort(), clients = FixedPort();
  std::optional<ChildProcess> process;
};

TEST(Soak, EveryByteComesBackThroughProxyRestartsTargetOutagesAbortsAndHalfCloses) {
  const auto duration = std::chrono::duration_cast<Clock::duration>(g_minutes > 0 ? g_minutes * 60s : 20s);
  EchoTarget echo;
  echo.Start(FixedPort());
  Proxy proxy;
  ASSERT_TRUE(proxy.Start()) << "relvoproxy (RELVO_PROXY) did not start";
  TempDir clientDir;
  const std::string exe = InstallClient(clientDir);
  WriteFile(clientDir.path() / "relvoclient.ini",
            "[general]\nreconnect_tmo=2000\n[proxyServer]\naddress=127.0.0.1\nport=" +
                std::to_string(proxy.connector) + "\n[servers]\necho=1\n[echo]\naddress=127.0.0.1\nport=" +
                std::to_string(echo.port()) + "\nmaxcon=1000\n");
  ChildProcess connector(ClientCommand(exe, {"-debug"}), clientDir / "stdout.txt", clientDir / "stderr.txt");
  const auto events = [&] { return ReadFile(clientDir.path() / "logs" / "events.log"); };
  const auto commandUps = [&] { return Occurrences(events(), "Command connection is established"); };
  ASSERT_TRUE(WaitFor([&] { return commandUps() == 1; }, 60s)) << events();
  const std::string proc = "/proc/" + std::to_string(connector.pid());
  const long idleThreads = Count(proc + "/task");
  const std::vector<std::string> idleFds = Descriptors(proc);

  // Odd while the chain is disrupted; a stream that saw it change may end short.
  std::atomic<int> phase{0};
  std::atomic<bool> running{true};
  std::atomic<int> outcomes[5] = {};
  std::atomic<int> halfCloses{0}, undisturbed{0};
  std::vector<std::thread> clients;
  const auto joinClients = [&] {
    running = false;
    for (std::thread& t : clients) t.join();
    clients.clear();
  };
  struct Joiner {  // also when an assertion returns early
    std::function<void()> join;
    ~Joiner() { join(); }
  } joiner{joinClients};
  for (int i = 0; i < g_streams; ++i) {
    clients.emplace_back([&, i] {
      std::mt19937_64 random(static_cast<uint64_t>(i) * 7919 + 1);
      while (running.load()) {
        const int before = phase.load();
        // Sizes spread evenly over the orders of magnitude, 1 byte to 2 MB.
        const size_t size = std::max<size_t>(1, static_cast<size_t>(std::pow(2.0, 21.0 * (random() % 1000) / 1000.0)));
        const Mode mode = static_cast<Mode>(random() % 3);
        const Outcome outcome = RunStream(proxy.clients, random() | 1, size, mode);
        const bool calm = before % 2 == 0 && phase.load() == before;
        if (outcome == Outcome::kCorrupt || calm) ++outcomes[static_cast<int>(outcome)];
        if (calm && outcome == Outcome::kComplete) ++undisturbed;
        if (calm && outcome == Outcome::kComplete && mode == Mode::kHalfClose) ++halfCloses;
      }
    });
  }
  const auto start = Clock::now();
  const auto progress = [&] {  // on a terminal: seconds, then the outcomes so far
    if (::isatty(STDOUT_FILENO) == 0) return;
    std::printf("\r%4lds  complete %d  short %d  corrupted %d  refused %d  aborted %d ", static_cast<long>(
        std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count()), outcomes[0].load(),
        outcomes[1].load(), outcomes[2].load(), outcomes[3].load(), outcomes[4].load());
    std::fflush(stdout);
  };
  const auto runFor = [&](Clock::duration d) {
    for (const auto until = Clock::now() + d; Clock::now() < until;) {
      progress();
      std::this_thread::sleep_for(std::min<Clock::duration>(1s, until - Clock::now()));
    }
  };
  // Rounds of: traffic, proxy killed and restarted, traffic, target outage.
  while (Clock::now() - start < duration) {
    runFor(duration / 4);
    ++phase;
    const size_t ups = commandUps();
    proxy.process->Kill();
    proxy.process->WaitExit(10s);
    ASSERT_TRUE(proxy.Start()) << ReadFile(proxy.dir.path() / "proxy.log");
    ASSERT_TRUE(WaitFor([&] { return commandUps() > ups; }, 60s)) << events();
    ++phase;
    runFor(duration / 4);
    ++phase;
    echo.Stop();
    runFor(1s);
    echo.Start(echo.port());
    ++phase;
  }
  joinClients();
  progress();

  EXPECT_EQ(0, outcomes[static_cast<int>(Outcome::kCorrupt)].load());
  EXPECT_EQ(0, outcomes[static_cast<int>(Outcome::kShort)].load());
  EXPECT_GT(undisturbed.load(), g_streams / 10);  // the chain did carry streams
  EXPECT_GT(halfCloses.load(), 0);
  EXPECT_GT(outcomes[static_cast<int>(Outcome::kAborted)].load(), 0);

  // Every entry reaped; threads and descriptors back to what an idle connector holds.
  const auto reaped = [&] {
    const std::string e = events();
    return Occurrences(e, "] New entry is assigned.") == Occurrences(e, "] entry deleted.");
  };
  EXPECT_TRUE(WaitFor(reaped, 60s)) << Occurrences(events(), "] New entry is assigned.") << " entries, "
                                    << Occurrences(events(), "] entry deleted.") << " deleted";
  EXPECT_TRUE(WaitFor([&] { return Count(proc + "/task") <= idleThreads; }, 30s))
      << Count(proc + "/task") << " threads, idle " << idleThreads;
  EXPECT_TRUE(WaitFor([&] { return Descriptors(proc).size() <= idleFds.size(); }, 30s))
      << "descriptors now:\n" << Lines(Descriptors(proc)) << "when idle:\n" << Lines(idleFds);

  connector.Interrupt();
  EXPECT_EQ(std::optional<int>(0), connector.WaitExit(30s)) << events();
  EXPECT_EQ(0u, Occurrences(ReadFile(clientDir.path() / "logs" / "errors.log"), "exception caught"));
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--minutes") g_minutes = std::atof(argv[i + 1]);
    if (std::string(argv[i]) == "--streams") g_streams = std::atoi(argv[i + 1]);
  }
  return RUN_ALL_TESTS();
}
