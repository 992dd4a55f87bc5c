// The benchmarks' load client: new connections per second, round trips on
// an open connection, and many live connections held at once. Loopback
// only; every mode is bounded in time and stops by itself. Output is one
// "key=value ..." line per result, for scripts/bench.
//
//   relvo_bench_load connect PORT THREADS SECONDS
//       THREADS threads each connect, send 16 bytes, read them back and
//       close, again and again for SECONDS: the rate, the time from connect
//       to the echo (p50, p99) and the failures.
//   relvo_bench_load rtt PORT COUNT
//       one connection, COUNT 1-byte round trips one after another.
//   relvo_bench_load hold PORT PID N1,N2,... [one-more]
//       opens connections (each echoes 16 bytes once) up to each count in
//       turn and prints the memory, threads and descriptors of process PID
//       there; with "one-more", then asks for one more connection (which a
//       full table must refuse) and checks that every held one still echoes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// The p-th percentile (0..100) of `values`, which it sorts.
double Percentile(std::vector<double>& values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t i = static_cast<size_t>(p / 100.0 * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(i, values.size() - 1)];
}

// A connected socket to 127.0.0.1:port with 10-second send and receive
// bounds, or -1.
int Dial(int port) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return -1;
  const int on = 1;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  const timeval bound{10, 0};
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(s);
    return -1;
  }
  return s;
}

// Sends `length` bytes and reads the same bytes back. False on any
// failure, an early end or different bytes.
bool Echo(int s, const char* data, size_t length) {
  if (::send(s, data, length, MSG_NOSIGNAL) != static_cast<ssize_t>(length)) return false;
  char back[64];
  size_t got = 0;
  while (got < length) {
    const ssize_t n = ::recv(s, back + got, length - got, 0);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return std::memcmp(back, data, length) == 0;
}

const char kPayload[] = "relvo-bench-16by";  // 16 bytes

int Connect(int port, int threads, double seconds) {
  const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                   std::chrono::duration<double>(seconds));
  std::mutex mutex;
  std::vector<double> latencies;
  std::atomic<long> failures{0};
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&] {
      std::vector<double> mine;
      while (Clock::now() < end) {
        const Clock::time_point begin = Clock::now();
        const int s = Dial(port);
        const bool ok = s >= 0 && Echo(s, kPayload, 16);
        if (ok) mine.push_back(Micros(Clock::now() - begin));
        if (s >= 0) ::close(s);
        if (!ok) failures.fetch_add(1);
      }
      std::lock_guard<std::mutex> lock(mutex);
      latencies.insert(latencies.end(), mine.begin(), mine.end());
    });
  }
  for (std::thread& w : workers) w.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const size_t done = latencies.size();
  std::printf("connections=%zu rate=%.1f p50_us=%.1f p99_us=%.1f failures=%ld\n", done,
              static_cast<double>(done) / elapsed, Percentile(latencies, 50), Percentile(latencies, 99),
              failures.load());
  return done > 0 && failures.load() == 0 ? 0 : 1;
}

int Rtt(int port, int count) {
  const int s = Dial(port);
  if (s < 0 || !Echo(s, kPayload, 16)) {
    std::fprintf(stderr, "rtt: no echo from port %d\n", port);
    return 1;
  }
  std::vector<double> times;
  for (int i = 0; i < count; ++i) {
    const char byte = static_cast<char>('a' + i % 26);
    const Clock::time_point begin = Clock::now();
    if (!Echo(s, &byte, 1)) {
      std::fprintf(stderr, "rtt: round trip %d failed\n", i);
      return 1;
    }
    times.push_back(Micros(Clock::now() - begin));
  }
  ::close(s);
  std::printf("round_trips=%d p50_us=%.1f p99_us=%.1f\n", count, Percentile(times, 50), Percentile(times, 99));
  return 0;
}

std::string StatusField(const std::string& pid, const std::string& field) {
  std::ifstream in("/proc/" + pid + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::to_string(std::atol(line.c_str() + field.size() + 1));
  }
  return "0";
}

void PrintProcess(const std::string& pid, size_t tunnels) {
  std::error_code ec;
  size_t fds = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/" + pid + "/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    ++fds;
  std::printf("tunnels=%zu rss_kb=%s threads=%s fds=%zu\n", tunnels, StatusField(pid, "VmRSS").c_str(),
              StatusField(pid, "Threads").c_str(), fds);
  std::fflush(stdout);
}

int Hold(int port, const std::string& pid, const std::string& counts, bool oneMore) {
  std::vector<int> held;
  PrintProcess(pid, 0);
  for (size_t from = 0; from < counts.size();) {
    const size_t comma = counts.find(',', from);
    const size_t want = std::strtoul(counts.substr(from, comma - from).c_str(), nullptr, 10);
    from = comma == std::string::npos ? counts.size() : comma + 1;
    while (held.size() < want) {
      const int s = Dial(port);
      if (s < 0 || !Echo(s, kPayload, 16)) {
        std::fprintf(stderr, "hold: connection %zu failed\n", held.size() + 1);
        return 1;
      }
      held.push_back(s);
    }
    PrintProcess(pid, held.size());
  }
  int status = 0;
  if (oneMore) {
    // A full table refuses it: the connection ends without an echo.
    const int s = Dial(port);
    const bool echoed = s >= 0 && Echo(s, kPayload, 16);
    if (s >= 0) ::close(s);
    size_t working = 0;
    for (const int h : held) working += Echo(h, kPayload, 16) ? 1 : 0;
    std::printf("one_more=%s working=%zu held=%zu\n", echoed ? "echoed" : "refused", working, held.size());
    status = !echoed && working == held.size() ? 0 : 1;
  }
  for (const int h : held) ::close(h);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "connect" && argc == 5) return Connect(std::atoi(argv[2]), std::atoi(argv[3]), std::atof(argv[4]));
  if (mode == "rtt" && argc == 4) return Rtt(std::atoi(argv[2]), std::atoi(argv[3]));
  if (mode == "hold" && (argc == 5 || argc == 6))
    return Hold(std::atoi(argv[2]), argv[3], argv[4], argc == 6 && std::string(argv[5]) == "one-more");
  std::fprintf(stderr,
               "usage: relvo_bench_load connect PORT THREADS SECONDS | rtt PORT COUNT | "
               "hold PORT PID N1,N2,... [one-more]\n");
  return 2;
}
