#include <cerrno>

#include <netinet/tcp.h>
#include <poll.h>
#include <sys/time.h>

#include "Common/socket_io.h"

// The holder keeps its handle open until it is destroyed, and shutting a
// socket down wakes the calls blocked on it: plain blocking calls suffice.
namespace netutils {

namespace {

// Makes `call` again while a signal handled on this thread ends it before
// it moved a byte: a call on a socket with a time-out set is never restarted
// by itself, whatever the handler asked for.
template <typename Call>
int Restarting(const Call& call) {
  ssize_t n;
  do {
    n = call();
  } while (n < 0 && errno == EINTR);
  return static_cast<int>(n);
}

}  // namespace

int Recv(const libmo::UniqueSocket& socket, char* data, int length) {
  return Restarting([&] { return ::recv(socket.Handle(), data, static_cast<size_t>(length), 0); });
}

int Send(const libmo::UniqueSocket& socket, const char* data, int length) {
  return Restarting([&] { return ::send(socket.Handle(), data, static_cast<size_t>(length), MSG_NOSIGNAL); });
}

int SendPart(const libmo::UniqueSocket& socket, const char* data, int length, bool more) {
  const int flags = MSG_NOSIGNAL | (more ? MSG_MORE : 0);
  return Restarting([&] { return ::send(socket.Handle(), data, static_cast<size_t>(length), flags); });
}

// Switching TCP_NODELAY on, even when it is on already, sends what waits.
bool Push(const libmo::UniqueSocket& socket) {
  const int on = 1;
  return ::setsockopt(socket.Handle(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

int RecvIfReady(const libmo::UniqueSocket& socket, char* data, int length) {
  const auto n = ::recv(socket.Handle(), data, static_cast<size_t>(length), MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kNothingYet;
  return static_cast<int>(n);
}

void WaitReadable(const libmo::UniqueSocket& socket) {
  if (socket.receiveTimeoutMs.load() != 0) return;
  pollfd waited{socket.Handle(), POLLIN, 0};
  while (::poll(&waited, 1, -1) < 0 && errno == EINTR) {
  }
}

bool SetReceiveTimeout(libmo::UniqueSocket& socket, uint32_t ms) {
  socket.receiveTimeoutMs.store(ms);
  struct timeval value;
  value.tv_sec = static_cast<time_t>(ms / 1000);
  value.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  return ::setsockopt(socket.Handle(), SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value) == 0;
}

}  // namespace netutils
