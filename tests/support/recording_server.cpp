#include "tests/support/recording_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>

namespace testsupport {
namespace {

// Milliseconds left until `deadline` for poll; -1 (none) for the maximum.
int PollTimeout(FakeClock::time_point deadline) {
  if (deadline == FakeClock::time_point::max()) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - FakeClock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

// Sends everything on `fd`, waiting for room until `deadline`; gives up when `wake` becomes readable (-1: never). False
// when not all went out.
bool SendWithin(int fd, std::string_view bytes, int wake, FakeClock::time_point deadline) {
  while (!bytes.empty()) {
    pollfd fds[2] = {{fd, POLLOUT, 0}, {wake, POLLIN, 0}};
    const int r = ::poll(fds, 2, PollTimeout(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 || (fds[1].revents & POLLIN)) return false;
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

RecordingServer::RecordingServer(uint16_t port) : listener_(port), wake_(::eventfd(0, EFD_CLOEXEC)) {
  if (!wake_.valid()) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
  ::fcntl(listener_.get(), F_SETFD, FD_CLOEXEC);  // not inherited by the client under test
}

void RecordingServer::Start() {
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

void RecordingServer::Stop() {
  stopping_ = true;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_.get(), &one, sizeof one);
  if (acceptor_.joinable()) acceptor_.join();
  for (std::thread& t : sessions_) t.join();
  sessions_.clear();
}

void RecordingServer::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listener_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (stopping_) return;
    if (!(fds[0].revents & POLLIN)) continue;
    const int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    size_t index = 0;
    Locked([&] {
      index = liveFds_.size();
      liveFds_.push_back(fd);
      AddRecord();
      RecordAt(index).index = static_cast<int>(index);
      RecordAt(index).accepted = FakeClock::now();
    });
    sessions_.emplace_back([this, fd, index] {
      Link link(*this, fd, index);
      Serve(link);
    });
  }
}

void RecordingServer::Locked(const std::function<void()>& change) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    change();
  }
  changed_.notify_all();
}

bool RecordingServer::WaitLocked(const std::function<bool()>& condition, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, condition);
}

size_t RecordingServer::ConnectionCount() const {
  return UnderLock([&] { return liveFds_.size(); });
}

bool RecordingServer::WaitForConnections(size_t count, std::chrono::milliseconds timeout) const {
  return WaitLocked([&] { return liveFds_.size() >= count; }, timeout);
}

bool RecordingServer::Send(size_t index, std::string_view bytes, std::chrono::milliseconds timeout) const {
  // A duplicate keeps the socket valid for this call even if the connection's thread closes its descriptor meanwhile.
  const OwnedSocket fd(UnderLock([&] {
    return index < liveFds_.size() && liveFds_[index] >= 0 ? ::fcntl(liveFds_[index], F_DUPFD_CLOEXEC, 0) : -1;
  }));
  return fd.valid() && SendWithin(fd.get(), bytes, -1, FakeClock::now() + timeout);
}

bool RecordingServer::Close(size_t index) {
  bool closed = false;
  Locked([&] {
    if (index >= liveFds_.size() || liveFds_[index] < 0 || RecordAt(index).closed) return;
    ConnectionRecord& c = RecordAt(index);
    c.closedByServer = c.closed = closed = true;
    c.closedAt = FakeClock::now();
    // The connection's own thread then reads the end and closes.
    ::shutdown(liveFds_[index], SHUT_RDWR);
  });
  return closed;
}

RecordingServer::Link::Read RecordingServer::Link::Receive(std::string* bytes, FakeClock::time_point deadline) {
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {server_.wake_.get(), POLLIN, 0}};
    const int r = ::poll(fds, 2, PollTimeout(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (server_.stopping_ || (fds[1].revents & POLLIN)) return Read::Stopping;
    if (r == 0) return Read::Deadline;
    char buffer[65536];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n > 0) {
      bytes->assign(buffer, static_cast<size_t>(n));
      return Read::Data;
    }
    // A reset is the peer closing with bytes of ours unread: a close too.
    const std::string error = n < 0 && errno != ECONNRESET ? std::strerror(errno) : "";
    Release();
    server_.Locked([&] {
      ConnectionRecord& c = server_.RecordAt(index_);
      if (c.closedByServer) return;  // the end of Close
      if (!error.empty()) c.failures.push_back("recv: " + error);
      c.closedByPeer = c.closed = true;
      c.closedAt = FakeClock::now();
    });
    return Read::Closed;
  }
}

bool RecordingServer::Link::SendAll(std::string_view bytes) {
  return SendWithin(fd_, bytes, server_.wake_.get(), FakeClock::time_point::max());
}

void RecordingServer::Link::CloseHere() {
  // Recorded first, so whoever sees the close also sees it in the record.
  server_.Locked([&] {
    ConnectionRecord& c = server_.RecordAt(index_);
    c.closedByServer = c.closed = true;
    c.closedAt = FakeClock::now();
  });
  Release();
}

void RecordingServer::Link::Fail(const std::string& what) {
  server_.Locked([&] { server_.RecordAt(index_).failures.push_back(what); });
}

// Under the lock, so that Send never duplicates a number being reused.
void RecordingServer::Link::Release() {
  if (fd_ < 0) return;
  server_.Locked([&] {
    server_.liveFds_[index_] = -1;
    ::close(fd_);
    fd_ = -1;
  });
}

}  // namespace testsupport
