#include "tests/support/fake_proxy.h"

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

// Owns one file descriptor; closes it when destroyed or reset.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

[[noreturn]] void ThrowErrno(const std::string& what) {
  throw std::runtime_error("FakeProxy: " + what + ": " + std::strerror(errno));
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

Fd BoundSocket(uint16_t port) {
  Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s) ThrowErrno("socket");
  const int on = 1;
  ::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in a = Loopback(port);
  if (::bind(s.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) ThrowErrno("bind");
  return s;
}

uint16_t LocalPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) ThrowErrno("getsockname");
  return ntohs(a.sin_port);
}

template <typename T>
const T& Pick(const std::vector<T>& list, size_t index, const T& fallback) {
  if (list.empty()) return fallback;
  return list[std::min(index, list.size() - 1)];
}

}  // namespace

std::string HandshakeAnswer(std::string_view key) {
  std::string text(key);
  text += "kavu";
  uint32_t h = 0;
  for (const char c : text) {
    h += static_cast<unsigned char>(c);
    h += h << 10;
    h ^= h >> 6;
  }
  h += h << 3;
  h ^= h >> 11;
  h += h << 15;
  return std::to_string(static_cast<int32_t>(h));
}

uint16_t FreePort() {
  Fd s = BoundSocket(0);
  return LocalPort(s.get());
}

ProxyStep ProxyStep::Send(std::string bytes) {
  ProxyStep s;
  s.kind = Kind::Send;
  s.bytes = std::move(bytes);
  return s;
}
ProxyStep ProxyStep::Ping() { return Send(std::string("\x19\x00", 2)); }
ProxyStep ProxyStep::CreateTransport() { return Send(std::string("\x21\x00", 2)); }
ProxyStep ProxyStep::Expect(size_t count, std::chrono::milliseconds deadline) {
  ProxyStep s;
  s.kind = Kind::Expect;
  s.count = count;
  s.time = deadline;
  return s;
}
ProxyStep ProxyStep::Wait(std::chrono::milliseconds duration) {
  ProxyStep s;
  s.kind = Kind::Wait;
  s.time = duration;
  return s;
}
ProxyStep ProxyStep::Close() {
  ProxyStep s;
  s.kind = Kind::Close;
  return s;
}

std::vector<ProxyStep> Pings(int count, std::chrono::milliseconds every) {
  std::vector<ProxyStep> steps;
  for (int i = 0; i < count; ++i) {
    if (i > 0) steps.push_back(ProxyStep::Wait(every));
    steps.push_back(ProxyStep::Ping());
  }
  return steps;
}

std::string ProxyConnection::Received() const {
  std::string all;
  for (const Chunk& c : chunks) all += c.bytes;
  return all;
}

// State shared by the acceptor, the sessions and the accessors. `wake`
// becomes readable (and stays so) once the proxy stops.
struct FakeProxy::Shared {
  ProxyScript script;
  Fd listener;
  Fd wake;
  std::atomic<bool> stopping{false};
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<ProxyConnection> records;
  std::vector<int> liveFds;  // per record: its descriptor while open, else -1
  size_t commandCount = 0;
  size_t transportCount = 0;
  std::vector<std::thread> sessions;  // only the acceptor adds; joined after it

  template <typename F>
  void Update(size_t index, F&& change) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      change(records[index]);
    }
    changed.notify_all();
  }
};

// One accepted connection, run on its own thread from accept to close.
class FakeProxy::Session {
 public:
  Session(Shared& shared, Fd fd, size_t index) : s_(shared), fd_(std::move(fd)), index_(index) {}

  void Run() {
    const HandshakeScript& hs = Pick(s_.script.handshakes, index_, kDefaultHandshake);
    if (Handshake(hs)) RunScript();
    if (fd_) Hold();
    if (fd_) ReleaseFd();
  }

 private:
  enum class Read { Data, Deadline, Closed, Stopping };
  static inline const HandshakeScript kDefaultHandshake{};
  static inline const std::vector<ProxyStep> kNoSteps{};

  void Fail(const std::string& what) {
    s_.Update(index_, [&](ProxyConnection& c) { c.failures.push_back(what); });
  }

  // Closes the descriptor; under the lock, so that FakeProxy::Send never
  // duplicates a number that is being reused.
  void ReleaseFd() {
    std::lock_guard<std::mutex> lock(s_.mutex);
    s_.liveFds[index_] = -1;
    fd_.Reset();
  }

  // Recorded first, so whoever sees the close also sees it in the record.
  void CloseHere() {
    s_.Update(index_, [](ProxyConnection& c) {
      c.closedByProxy = true;
      c.closed = true;
      c.closedAt = FakeClock::now();
    });
    ReleaseFd();
  }

  // Waits for one receive until `deadline`; the bytes are recorded, and kept
  // in pending_ until the handshake is over.
  Read ReadSome(FakeClock::time_point deadline) {
    for (;;) {
      int timeout = -1;
      if (deadline != FakeClock::time_point::max()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - FakeClock::now()).count();
        timeout = static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
      }
      pollfd fds[2] = {{fd_.get(), POLLIN, 0}, {s_.wake.get(), POLLIN, 0}};
      const int r = ::poll(fds, 2, timeout);
      if (r < 0 && errno == EINTR) continue;
      if (s_.stopping || (fds[1].revents & POLLIN)) return Read::Stopping;
      if (r == 0) return Read::Deadline;
      char buf[4096];
      const ssize_t n = ::recv(fd_.get(), buf, sizeof buf, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        // A reset is the peer closing with bytes of ours unread: a close too.
        const std::string error = n < 0 && errno != ECONNRESET ? std::strerror(errno) : "";
        ReleaseFd();
        s_.Update(index_, [&](ProxyConnection& c) {
          if (c.closedByProxy) return;  // the end of FakeProxy::Close
          if (!error.empty()) c.failures.push_back("recv: " + error);
          c.closedByPeer = true;
          c.closed = true;
          c.closedAt = FakeClock::now();
        });
        return Read::Closed;
      }
      const std::string bytes(buf, static_cast<size_t>(n));
      if (!handshaken_) pending_ += bytes;
      afterCount_ += handshaken_ ? bytes.size() : 0;
      s_.Update(index_, [&](ProxyConnection& c) {
        c.chunks.push_back({FakeClock::now(), bytes});
        if (handshaken_) c.afterHandshake += bytes;
      });
      return Read::Data;
    }
  }

  // Reads until `done()` holds; false when the deadline passed or the
  // connection ended first.
  bool ReadUntil(const std::function<bool()>& done, FakeClock::time_point deadline) {
    while (!done()) {
      if (ReadSome(deadline) != Read::Data) return done();
    }
    return true;
  }

  bool SendAll(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        Fail(std::string("send: ") + std::strerror(errno));
        return false;
      }
      bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }

  // The four handshake steps, proxy side; true when the type word arrived.
  bool Handshake(const HandshakeScript& hs) {
    if (!hs.sendKey) return false;
    std::string all = hs.key;
    if (hs.keyZero) all.push_back('\0');
    const size_t split = (hs.splitAt > 0 && hs.splitAt < all.size()) ? hs.splitAt : all.size();
    const std::string first = all.substr(0, split);
    const std::string rest = all.substr(split);
    const std::string seen = first.substr(0, first.find('\0'));
    const std::string expected = HandshakeAnswer(seen) + std::string(1, '\0');
    s_.Update(index_, [&](ProxyConnection& c) {
      c.keySent = first;
      c.expectedAnswer = expected;
    });
    if (!SendAll(first)) return false;

    const auto answerDeadline = FakeClock::now() + hs.answerDeadline;
    if (!ReadUntil([&] { return pending_.find('\0') != std::string::npos; }, answerDeadline)) {
      if (fd_) Fail("no answer with a zero byte in time; got '" + pending_ + "'");
      return false;
    }
    const std::string answer = pending_.substr(0, pending_.find('\0') + 1);
    pending_.erase(0, answer.size());
    s_.Update(index_, [&](ProxyConnection& c) {
      c.answer = answer;
      c.answered = true;
      c.answerOk = answer == expected;
    });
    if (answer != expected) {
      Fail("wrong answer");
      CloseHere();
      return false;
    }

    if (!rest.empty()) {
      if (!SendAll(rest)) return false;
      s_.Update(index_, [&](ProxyConnection& c) { c.keySent += rest; });
    }
    if (hs.acceptance.empty()) return false;  // stall: held until the peer gives up
    if (!SendAll(hs.acceptance)) return false;
    s_.Update(index_, [](ProxyConnection& c) { c.acceptanceSent = true; });

    const bool typed = ReadUntil([&] { return pending_.size() >= 2; }, FakeClock::time_point::max());
    const std::string type = pending_.substr(0, 2);
    const std::string after = pending_.size() > 2 ? pending_.substr(2) : std::string();
    pending_.clear();
    handshaken_ = typed;
    afterCount_ = after.size();
    s_.Update(index_, [&](ProxyConnection& c) {
      c.typeBytes = type;
      if (!typed) return;
      c.connType = static_cast<unsigned char>(type[0]) | (static_cast<unsigned char>(type[1]) << 8);
      c.typed = FakeClock::now();
      c.afterHandshake = after;
      if (c.connType == 1) {
        commandNumber_ = s_.commandCount++;
      } else if (c.connType == 2) {
        transportNumber_ = s_.transportCount++;
      }
      type_ = c.connType;
    });
    return typed;
  }

  void RunScript() {
    const std::vector<ProxyStep>* steps = &kNoSteps;
    if (type_ == 1) steps = &Pick(s_.script.commandScripts, commandNumber_, kNoSteps);
    if (type_ == 2) steps = &Pick(s_.script.transportScripts, transportNumber_, kNoSteps);
    size_t claimed = 0;  // answer bytes taken by earlier Expect steps
    for (const ProxyStep& step : *steps) {
      if (!fd_) return;
      switch (step.kind) {
        case ProxyStep::Kind::Send:
          if (!SendAll(step.bytes)) return;
          break;
        case ProxyStep::Kind::Expect:
          claimed += step.count;
          if (!ReadUntil([&] { return afterCount_ >= claimed; }, FakeClock::now() + step.time)) {
            if (!s_.stopping) Fail("expected " + std::to_string(step.count) + " more bytes");
            return;
          }
          break;
        case ProxyStep::Kind::Wait: {
          const auto until = FakeClock::now() + step.time;
          while (fd_ && FakeClock::now() < until) {
            if (ReadSome(until) == Read::Stopping) return;
          }
          break;
        }
        case ProxyStep::Kind::Close:
          CloseHere();
          break;
      }
      if (!fd_ && step.kind != ProxyStep::Kind::Close) return;
      s_.Update(index_, [](ProxyConnection& c) { ++c.stepsDone; });
    }
    s_.Update(index_, [](ProxyConnection& c) { c.scriptDone = true; });
  }

  // Keeps the connection open, recording, until the peer closes or the proxy
  // stops.
  void Hold() {
    while (fd_) {
      if (ReadSome(FakeClock::time_point::max()) == Read::Stopping) return;
    }
  }

  Shared& s_;
  Fd fd_;
  size_t index_;
  std::string pending_;
  bool handshaken_ = false;
  size_t afterCount_ = 0;
  int type_ = -1;
  size_t commandNumber_ = 0;
  size_t transportNumber_ = 0;
};

FakeProxy::FakeProxy(ProxyScript script, uint16_t port) : shared_(std::make_unique<Shared>()) {
  shared_->script = std::move(script);
  shared_->listener = BoundSocket(port);
  if (::listen(shared_->listener.get(), 64) != 0) ThrowErrno("listen");
  port_ = LocalPort(shared_->listener.get());
  shared_->wake = Fd(::eventfd(0, EFD_CLOEXEC));
  if (!shared_->wake) ThrowErrno("eventfd");
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

FakeProxy::~FakeProxy() {
  shared_->stopping = true;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(shared_->wake.get(), &one, sizeof one);
  if (acceptor_.joinable()) acceptor_.join();
  for (std::thread& t : shared_->sessions) t.join();
}

void FakeProxy::AcceptLoop() {
  Shared& s = *shared_;
  for (;;) {
    pollfd fds[2] = {{s.listener.get(), POLLIN, 0}, {s.wake.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (s.stopping) return;
    if (!(fds[0].revents & POLLIN)) continue;
    Fd conn(::accept4(s.listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!conn) continue;
    const int on = 1;
    ::setsockopt(conn.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    size_t index = 0;
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      index = s.records.size();
      ProxyConnection record;
      record.index = static_cast<int>(index);
      record.accepted = FakeClock::now();
      s.records.push_back(std::move(record));
      s.liveFds.push_back(conn.get());
    }
    s.changed.notify_all();
    s.sessions.emplace_back([&s, index, fd = std::move(conn)]() mutable { Session(s, std::move(fd), index).Run(); });
  }
}

std::vector<ProxyConnection> FakeProxy::Connections() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->records;
}

ProxyConnection FakeProxy::Connection(size_t index) const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return index < shared_->records.size() ? shared_->records[index] : ProxyConnection{};
}

size_t FakeProxy::ConnectionCount() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->records.size();
}

std::vector<ProxyConnection> FakeProxy::CommandConnections() const {
  std::vector<ProxyConnection> out;
  for (ProxyConnection& c : Connections()) {
    if (c.connType == 1) out.push_back(std::move(c));
  }
  return out;
}

bool FakeProxy::WaitUntil(const std::function<bool(const std::vector<ProxyConnection>&)>& condition,
                          std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(shared_->mutex);
  return shared_->changed.wait_for(lock, timeout, [&] { return condition(shared_->records); });
}

bool FakeProxy::WaitForConnections(size_t count, std::chrono::milliseconds timeout) const {
  return WaitUntil([count](const auto& all) { return all.size() >= count; }, timeout);
}

bool FakeProxy::WaitForCommandConnections(size_t count, std::chrono::milliseconds timeout) const {
  return WaitUntil(
      [count](const auto& all) {
        return static_cast<size_t>(std::count_if(all.begin(), all.end(), [](const ProxyConnection& c) {
                 return c.connType == 1;
               })) >= count;
      },
      timeout);
}

bool FakeProxy::WaitForScriptDone(size_t index, std::chrono::milliseconds timeout) const {
  return WaitUntil([index](const auto& all) { return index < all.size() && all[index].scriptDone; }, timeout);
}

bool FakeProxy::WaitForClosed(size_t index, std::chrono::milliseconds timeout) const {
  return WaitUntil([index](const auto& all) { return index < all.size() && all[index].closed; }, timeout);
}

bool FakeProxy::WaitForReceived(size_t index, size_t count, std::chrono::milliseconds timeout) const {
  return WaitUntil(
      [index, count](const auto& all) { return index < all.size() && all[index].afterHandshake.size() >= count; },
      timeout);
}

std::vector<size_t> FakeProxy::IndexesOfType(int connType) const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  std::vector<size_t> out;
  for (const ProxyConnection& c : shared_->records) {
    if (c.connType == connType) out.push_back(static_cast<size_t>(c.index));
  }
  return out;
}

bool FakeProxy::Send(size_t index, std::string_view bytes, std::chrono::milliseconds timeout) const {
  const auto deadline = FakeClock::now() + timeout;
  Fd fd;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (index >= shared_->liveFds.size() || shared_->liveFds[index] < 0) return false;
    // A duplicate keeps the socket valid for this call even if the
    // connection's thread closes its descriptor meanwhile.
    fd = Fd(::fcntl(shared_->liveFds[index], F_DUPFD_CLOEXEC, 0));
  }
  if (!fd) return false;
  while (!bytes.empty()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - FakeClock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd.get(), POLLOUT, 0};
    const int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    const ssize_t n = ::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool FakeProxy::Close(size_t index) {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (index >= shared_->liveFds.size() || shared_->liveFds[index] < 0 || shared_->records[index].closed) {
      return false;
    }
    ProxyConnection& c = shared_->records[index];
    c.closedByProxy = true;
    c.closed = true;
    c.closedAt = FakeClock::now();
    // The connection's own thread then reads the end and closes.
    ::shutdown(shared_->liveFds[index], SHUT_RDWR);
  }
  shared_->changed.notify_all();
  return true;
}

}  // namespace testsupport
