// Listening sockets and the few socket calls that the connector's toolbox
// (Common/netUtils.h) does not cover. IPv4 and TCP only.
#pragma once

#include <cstdint>
#include <string>

#include "Common/UniqueSocket.h"

namespace relvoproxy::net {

// A socket listening on `host` (a dotted IPv4 address or a name, of which
// the first IPv4 address is used) and `port` (0: one the system picks).
// The caller owns the socket. Throws std::runtime_error with the reason.
SOCKET Listen(const std::string& host, uint16_t port);

// The local port `s` is bound to; 0 when it cannot be read.
uint16_t BoundPort(SOCKET s);

// What to do after a failed accept.
enum class AcceptFailure {
  kRetry,    // one connection failed before it was taken; accept again
  kBackOff,  // out of descriptors or memory; accept again a little later
  kFatal,    // the listener is closed or broken
};

// Waits for the next connection on `listener`. Returns the connected,
// blocking socket with TCP_NODELAY set (best effort), or INVALID_SOCKET with
// `*failure` telling what the failure means. Closing `listener` from another thread ends the wait.
SOCKET Accept(const libmo::UniqueSocket& listener, AcceptFailure* failure);

// Shuts the sending direction of `s` down: the peer reads an end of file
// after everything sent so far. False when that failed.
bool ShutdownSend(SOCKET s);

// True when `error` (a last socket error) is the time-out of a receive
// bounded with netutils::SetReceiveTimeout.
bool IsTimeoutError(int error);

// True when `error` says that a signal handled on the calling thread ended
// the call (a receive with a time-out set is never restarted by itself).
bool IsInterruptedError(int error);

namespace os {

// Lets the listening `s` bind its address as the platform advises for a
// server: reuse of an address still in TIME_WAIT (POSIX), exclusive use
// (Windows). False on failure.
bool PrepareListener(SOCKET s);

// Classifies the calling thread's last socket error after a failed accept.
AcceptFailure ClassifyAcceptError();

// Waits until `listener` has a connection to accept; false when the holder
// was closed first (Windows; POSIX: true at once, the shut-down wakes accept).
bool WaitAcceptable(const libmo::UniqueSocket& listener);

// Makes an accepted socket blocking with no event attached (Windows). False
// on failure.
bool PrepareAccepted(SOCKET s);

// The platform's value for shutting down the sending direction.
int ShutdownSendHow();

// Whether `error` is a receive time-out.
bool IsTimeoutError(int error);
// Whether `error` is a call ended by a signal.
bool IsInterruptedError(int error);

}  // namespace os

}  // namespace relvoproxy::net
