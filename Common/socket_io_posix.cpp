#include <sys/time.h>

#include "Common/socket_io.h"

// The holder keeps its handle open until it is destroyed, and shutting a
// socket down wakes the calls blocked on it: plain blocking calls suffice.
namespace netutils {

int Recv(const libmo::UniqueSocket& socket, char* data, int length) {
  return static_cast<int>(::recv(socket.Handle(), data, static_cast<size_t>(length), 0));
}

int Send(const libmo::UniqueSocket& socket, const char* data, int length) {
  return static_cast<int>(::send(socket.Handle(), data, static_cast<size_t>(length), MSG_NOSIGNAL));
}

bool SetReceiveTimeout(libmo::UniqueSocket& socket, uint32_t ms) {
  socket.receiveTimeoutMs.store(ms);
  struct timeval value;
  value.tv_sec = static_cast<time_t>(ms / 1000);
  value.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  return ::setsockopt(socket.Handle(), SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value) == 0;
}

}  // namespace netutils
