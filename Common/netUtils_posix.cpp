#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>

#include "Common/netUtils.h"

namespace netutils {

namespace {

// errno for a getaddrinfo / getnameinfo failure, which reports its own codes.
int ResolverErrno(int code) {
  switch (code) {
    case EAI_SYSTEM:
      return errno;
    case EAI_AGAIN:
      return EAGAIN;
    case EAI_MEMORY:
      return ENOMEM;
    case EAI_FAMILY:
      return EAFNOSUPPORT;
    case EAI_SOCKTYPE:
      return ESOCKTNOSUPPORT;
    case EAI_BADFLAGS:
    case EAI_SERVICE:
      return EINVAL;
    case EAI_OVERFLOW:
      return ENAMETOOLONG;
    default:  // EAI_NONAME, EAI_NODATA, EAI_FAIL: the name has no address.
      return ENXIO;
  }
}

}  // namespace

bool CloseSocket(SOCKET s) {
  const int saved = errno;
  const bool closed = ::close(s) == 0;
  errno = saved;
  return closed;
}

int Send(SOCKET s, const char* data, int length) {
  // A send that a signal ended before it moved a byte goes on (one on a
  // socket with a time-out set is never restarted by itself).
  ssize_t n;
  do {
    n = ::send(s, data, static_cast<size_t>(length), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return static_cast<int>(n);
}

namespace os {

// Other code sends with plain send(); a peer that has gone must make that
// fail with EPIPE, not end the process.
int StartupLibrary() {
  ::signal(SIGPIPE, SIG_IGN);
  return 0;
}

int CleanupLibrary() { return 0; }

bool SetBlocking(SOCKET s, bool blocking) {
  const int flags = ::fcntl(s, F_GETFL, 0);
  if (flags < 0) return false;
  const int wanted = blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK;
  return wanted == flags || ::fcntl(s, F_SETFL, wanted) == 0;
}

bool SetNoDelay(SOCKET s) {
  const int on = 1;
  return ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

int BeginConnect(SOCKET s, const sockaddr_in& address) {
  if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return 0;
  if (errno == EINPROGRESS || errno == EINTR) return 0;
  return errno;
}

// poll rather than select: a descriptor at or above FD_SETSIZE must not
// overflow an fd_set when the connector holds many connections.
int WaitConnect(SOCKET s, int ms) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd entry{};
    entry.fd = s;
    entry.events = POLLOUT;
    const int result = ::poll(&entry, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    // A signal is no reason to give up before the deadline.
    if (result < 0 && errno == EINTR && left.count() > 0) continue;
    return result;
  }
}

int ResolveIpv4(const char* host, addrinfo** result) {
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  const int code = ::getaddrinfo(host, nullptr, &hints, result);
  if (code != 0) errno = ResolverErrno(code);
  return code;
}

int NumericNameInfo(const sockaddr* address, int length, char* host, int hostSize, char* service, int serviceSize) {
  const int code = ::getnameinfo(address, static_cast<socklen_t>(length), host, static_cast<socklen_t>(hostSize),
                                 service, static_cast<socklen_t>(serviceSize), NI_NUMERICHOST | NI_NUMERICSERV);
  if (code != 0) errno = ResolverErrno(code);
  return code;
}

int ConnectionRefusedCode() { return ECONNREFUSED; }

void* NewWake() { return nullptr; }
void SignalWake(void*) {}
void FreeWake(void*) {}

}  // namespace os

}  // namespace netutils
