#include "tests/fuzz/feed.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "Common/log.h"

namespace fuzz {

void QuietLogs() {
  // Also for the threads that open the logs when they start.
  libmo::SetLogPathSource([](std::string& events, std::string& errors) { events = errors = "/dev/null"; });
  LogInit("FUZZ");
}

std::vector<std::string> Segments(FuzzedDataProvider& data, size_t maxSegment) {
  std::vector<std::string> segments;
  while (data.remaining_bytes() > 0) {
    const size_t length = data.ConsumeIntegralInRange<size_t>(1, maxSegment);
    std::string bytes = data.ConsumeBytesAsString(length);
    if (!bytes.empty()) segments.push_back(std::move(bytes));
  }
  return segments;
}

std::string Joined(const std::vector<std::string>& segments) {
  std::string all;
  for (const std::string& s : segments) all += s;
  return all;
}

SocketPair::SocketPair() {
  int fds[2];
  FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
  tested = fds[0];
  peer = fds[1];
}

SocketPair::~SocketPair() {
  if (tested >= 0) ::close(tested);
  ::close(peer);
}

Feeder::Feeder(const SocketPair& pair, std::vector<std::string> segments) : tested_(::dup(pair.tested)) {
  FUZZ_CHECK(tested_ >= 0);
  thread_ = std::thread(&Feeder::Run, this, pair.peer, std::move(segments));
}

void Feeder::Stop() {
  done_ = true;
  if (thread_.joinable()) thread_.join();
  if (tested_ >= 0) ::close(tested_);
  tested_ = -1;
}

void Feeder::Run(int peer, std::vector<std::string> segments) {
  for (const std::string& segment : segments) {
    if (done_) break;
    if (::send(peer, segment.data(), segment.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(segment.size())) break;
    // Readable while a byte of it is unread (FIONREAD lags behind here).
    pollfd unread{tested_, POLLIN, 0};
    while (!done_ && ::poll(&unread, 1, 0) == 1) std::this_thread::yield();
  }
  ::shutdown(peer, SHUT_WR);
}

std::string ReadQueued(int fd) {
  std::string all;
  char buffer[4096];
  for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) all.append(buffer, static_cast<size_t>(n));
  return all;
}

std::string ReadToEnd(int fd) {
  timeval bound{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  std::string all;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;  // libFuzzer's timer
    FUZZ_CHECK(n >= 0);                     // a time-out: the code under test hangs
    if (n == 0) return all;
    all.append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace fuzz
