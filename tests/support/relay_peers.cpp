#include "tests/support/relay_peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <utility>

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void ThrowErrno(const std::string& what) {
  throw std::runtime_error("RelayTarget: " + what + ": " + std::strerror(errno));
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Milliseconds left until `deadline` for poll (never negative).
int PollTimeout(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

}  // namespace

uint64_t Fnv1a64(std::string_view bytes, uint64_t hash) {
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

struct RelayTarget::Shared {
  TargetBehaviour behaviour;
  int listener = -1;
  int wake = -1;  // readable (and stays so) once the server stops
  std::atomic<bool> stopping{false};
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<TargetConnection> records;
  std::vector<int> liveFds;  // per record: its descriptor while open, else -1
  std::vector<std::thread> sessions;  // only the acceptor adds; joined after it

  template <typename F>
  void Update(size_t index, F&& change) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      change(records[index]);
    }
    changed.notify_all();
  }

  // Closes the descriptor of `index` under the lock, so that Send never
  // duplicates a number that is being reused.
  void Release(size_t index, int& fd) {
    std::lock_guard<std::mutex> lock(mutex);
    liveFds[index] = -1;
    CloseFd(fd);
  }

  // Sends everything, waiting for room, until the server stops; false when
  // the connection failed or the server is stopping.
  bool SendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
      pollfd fds[2] = {{fd, POLLOUT, 0}, {wake, POLLIN, 0}};
      const int r = ::poll(fds, 2, -1);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 || stopping) return false;
      const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }

  // One accepted connection, from accept to close, on its own thread.
  void Serve(int fd, size_t index) {
    if (!behaviour.greeting.empty() && !SendAll(fd, behaviour.greeting) && !stopping) {
      Update(index, [&](TargetConnection& c) { c.failures.push_back("greeting not sent"); });
    }
    std::string buffer(65536, '\0');
    for (;;) {
      pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
      const int r = ::poll(fds, 2, -1);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 || stopping) break;
      const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        // A reset is the peer closing with bytes of ours unread: a close too.
        const std::string error = n < 0 && errno != ECONNRESET ? std::strerror(errno) : "";
        Release(index, fd);
        Update(index, [&](TargetConnection& c) {
          if (c.closedByServer) return;  // the end of RelayTarget::Close
          if (!error.empty()) c.failures.push_back("recv: " + error);
          c.closedByPeer = true;
          c.closed = true;
        });
        return;
      }
      const std::string_view bytes(buffer.data(), static_cast<size_t>(n));
      Update(index, [&](TargetConnection& c) { c.received.append(bytes); });
      // A failed echo means the peer went away (its end is read next) or
      // the server is stopping.
      if (behaviour.echo && !SendAll(fd, bytes) && stopping) break;
    }
    Release(index, fd);
  }
};

RelayTarget::RelayTarget(TargetBehaviour behaviour) : shared_(std::make_unique<Shared>()) {
  Shared& s = *shared_;
  s.behaviour = std::move(behaviour);
  s.listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s.listener < 0) ThrowErrno("socket");
  const int on = 1;
  ::setsockopt(s.listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(s.listener, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) ThrowErrno("bind");
  if (::listen(s.listener, 128) != 0) ThrowErrno("listen");
  socklen_t len = sizeof a;
  if (::getsockname(s.listener, reinterpret_cast<sockaddr*>(&a), &len) != 0) ThrowErrno("getsockname");
  port_ = ntohs(a.sin_port);
  s.wake = ::eventfd(0, EFD_CLOEXEC);
  if (s.wake < 0) ThrowErrno("eventfd");
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

RelayTarget::~RelayTarget() {
  Shared& s = *shared_;
  s.stopping = true;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(s.wake, &one, sizeof one);
  if (acceptor_.joinable()) acceptor_.join();
  for (std::thread& t : s.sessions) t.join();
  CloseFd(s.listener);
  CloseFd(s.wake);
}

void RelayTarget::AcceptLoop() {
  Shared& s = *shared_;
  for (;;) {
    pollfd fds[2] = {{s.listener, POLLIN, 0}, {s.wake, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (s.stopping) return;
    if (!(fds[0].revents & POLLIN)) continue;
    const int fd = ::accept4(s.listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    size_t index = 0;
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      index = s.records.size();
      TargetConnection record;
      record.index = static_cast<int>(index);
      s.records.push_back(std::move(record));
      s.liveFds.push_back(fd);
    }
    s.changed.notify_all();
    s.sessions.emplace_back([&s, fd, index] { s.Serve(fd, index); });
  }
}

std::vector<TargetConnection> RelayTarget::Connections() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->records;
}

TargetConnection RelayTarget::Connection(size_t index) const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return index < shared_->records.size() ? shared_->records[index] : TargetConnection{};
}

size_t RelayTarget::ConnectionCount() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->records.size();
}

bool RelayTarget::WaitUntil(const std::function<bool(const std::vector<TargetConnection>&)>& condition,
                            std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(shared_->mutex);
  return shared_->changed.wait_for(lock, timeout, [&] { return condition(shared_->records); });
}

bool RelayTarget::WaitForConnections(size_t count, std::chrono::milliseconds timeout) const {
  return WaitUntil([count](const auto& all) { return all.size() >= count; }, timeout);
}

bool RelayTarget::WaitForReceived(size_t index, size_t count, std::chrono::milliseconds timeout) const {
  return WaitUntil(
      [index, count](const auto& all) { return index < all.size() && all[index].received.size() >= count; }, timeout);
}

bool RelayTarget::WaitForClosed(size_t index, std::chrono::milliseconds timeout) const {
  return WaitUntil([index](const auto& all) { return index < all.size() && all[index].closed; }, timeout);
}

bool RelayTarget::Send(size_t index, std::string_view bytes, std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  int fd = -1;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (index >= shared_->liveFds.size() || shared_->liveFds[index] < 0) return false;
    // A duplicate keeps the socket valid for this call even if the
    // connection's thread closes its descriptor meanwhile.
    fd = ::fcntl(shared_->liveFds[index], F_DUPFD_CLOEXEC, 0);
  }
  if (fd < 0) return false;
  bool sent = true;
  while (!bytes.empty()) {
    pollfd p{fd, POLLOUT, 0};
    const int r = ::poll(&p, 1, PollTimeout(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      sent = false;
      break;
    }
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) {
      sent = false;
      break;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  CloseFd(fd);
  return sent;
}

bool RelayTarget::Close(size_t index) {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (index >= shared_->liveFds.size() || shared_->liveFds[index] < 0 || shared_->records[index].closed) {
      return false;
    }
    TargetConnection& c = shared_->records[index];
    c.closedByServer = true;
    c.closed = true;
    // The connection's own thread then reads the end and closes.
    ::shutdown(shared_->liveFds[index], SHUT_RDWR);
  }
  shared_->changed.notify_all();
  return true;
}

}  // namespace testsupport
