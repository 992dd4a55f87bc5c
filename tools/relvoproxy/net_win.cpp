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

// The listener is non-blocking while it has the event attached; a closed
// holder's wake-up event ends the wait.
bool WaitAcceptable(const libmo::UniqueSocket& listener) {
  const HANDLE ready = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (ready == nullptr) return false;
  bool acceptable = false;
  if (::WSAEventSelect(listener.Handle(), ready, FD_ACCEPT) == 0) {
    const HANDLE events[2] = {ready, listener.WakeHandle()};
    acceptable = ::WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0;
    ::WSAEventSelect(listener.Handle(), nullptr, 0);
  }
  ::CloseHandle(ready);
  return acceptable;
}

// An accepted socket inherits the listener's event and non-blocking mode.
bool PrepareAccepted(SOCKET s) {
  u_long blocking = 0;
  return ::WSAEventSelect(s, nullptr, 0) == 0 && ::ioctlsocket(s, FIONBIO, &blocking) == 0;
}

int ShutdownSendHow() { return SD_SEND; }

bool IsTimeoutError(int error) { return error == WSAETIMEDOUT; }
bool IsInterruptedError(int error) { return error == WSAEINTR; }

}  // namespace relvoproxy::net::os
