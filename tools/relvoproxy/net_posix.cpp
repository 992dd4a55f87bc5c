#include <cerrno>

#include "tools/relvoproxy/net.h"

namespace relvoproxy::net::os {

bool PrepareListener(SOCKET s) {
  const int on = 1;
  return ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

AcceptFailure ClassifyAcceptError() {
  switch (errno) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case EPERM:  // a firewall rule refused this one connection
      return AcceptFailure::kRetry;
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      return AcceptFailure::kBackOff;
    default:
      return AcceptFailure::kFatal;
  }
}

bool WaitAcceptable(const libmo::UniqueSocket&) { return true; }

bool PrepareAccepted(SOCKET) { return true; }

int ShutdownSendHow() { return SHUT_WR; }

bool IsTimeoutError(int error) { return error == EAGAIN || error == EWOULDBLOCK; }
bool IsInterruptedError(int error) { return error == EINTR; }

}  // namespace relvoproxy::net::os
