#include "tools/relvoproxy/net.h"

namespace relvoproxy::net::os {

// Without it another program could bind the same port and take connections.
bool PrepareListener(SOCKET s) {
  const BOOL on = TRUE;
  return ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

AcceptFailure ClassifyAcceptError() {
  switch (::WSAGetLastError()) {
    case WSAECONNRESET:
    case WSAEWOULDBLOCK:
      return AcceptFailure::kRetry;
    case WSAEMFILE:
    case WSAENOBUFS:
      return AcceptFailure::kBackOff;
    default:  // WSAEINTR, WSAENOTSOCK, WSAEINVAL: the listener was closed
      return AcceptFailure::kFatal;
  }
}

int ShutdownSendHow() { return SD_SEND; }

bool IsTimeoutError(int error) { return error == WSAETIMEDOUT; }

}  // namespace relvoproxy::net::os
