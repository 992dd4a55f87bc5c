#include "tests/fuzz/feed.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "Common/log.h"

namespace fuzz {

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  libmo::SetLogPathSource([](std::string& events, std::string& errors) { events = errors = "/dev/null"; });
  LogInit("FUZZ");
  return 0;
}

std::vector<std::string> Segments(FuzzedDataProvider& data, size_t maxSegment) {
  std::vector<std::string> segments;
  while (data.remaining_bytes() > 0) {
    std::string bytes = data.ConsumeBytesAsString(data.ConsumeIntegralInRange<size_t>(1, maxSegment));
    if (!bytes.empty()) segments.push_back(std::move(bytes));
  }
  return segments;
}

FedPair::FedPair(std::vector<std::string> segments) {
  int fds[2];
  FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
  tested = fds[0];
  peer = fds[1];
  watched_ = ::dup(tested);
  thread_ = std::thread([this, segments = std::move(segments)] {
    for (const std::string& s : segments) {
      if (done_ || ::send(peer, s.data(), s.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(s.size())) break;
      // Readable while a byte of it is unread (FIONREAD lags behind here).
      pollfd unread{watched_, POLLIN, 0};
      while (!done_ && ::poll(&unread, 1, 0) == 1) std::this_thread::yield();
    }
    ::shutdown(peer, SHUT_WR);
  });
}

void FedPair::StopFeeding() {
  done_ = true;
  if (thread_.joinable()) thread_.join();
}

FedPair::~FedPair() {
  StopFeeding();
  for (const int fd : {watched_, tested, peer}) {
    if (fd >= 0) ::close(fd);
  }
}

std::string Read(int fd, int flags) {
  std::string all;
  char buffer[4096];
  for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, flags)) != 0;) {
    if (n < 0 && flags == MSG_DONTWAIT && errno == EAGAIN) break;
    FUZZ_CHECK(n > 0 || errno == EINTR);  // EINTR: libFuzzer's timer
    if (n > 0) all.append(buffer, static_cast<size_t>(n));
  }
  return all;
}

}  // namespace fuzz
