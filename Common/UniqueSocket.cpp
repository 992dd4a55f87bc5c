#include "Common/UniqueSocket.h"

#include <utility>

#include "Common/assert.h"
#include "Common/log.h"
#include "Common/netUtils.h"

namespace libmo {

UniqueSocket::UniqueSocket(SOCKET s, bool own) noexcept : socket_(s), own_(own) {}

UniqueSocket::~UniqueSocket() {
  Reset();
  const SOCKET shut = shutDown_.exchange(INVALID_SOCKET);
  if (shut != INVALID_SOCKET) netutils::CloseSocket(shut);
}

UniqueSocket::UniqueSocket(UniqueSocket&& other) noexcept
    : socket_(other.socket_.exchange(INVALID_SOCKET)),
      own_(other.own_.exchange(true)),
      shutDown_(other.shutDown_.exchange(INVALID_SOCKET)) {}

UniqueSocket& UniqueSocket::operator=(UniqueSocket&& other) noexcept {
  if (this != &other) {
    Reset();
    own_.store(other.own_.exchange(true));
    socket_.store(other.socket_.exchange(INVALID_SOCKET));
    const SOCKET shut = shutDown_.exchange(other.shutDown_.exchange(INVALID_SOCKET));
    if (shut != INVALID_SOCKET) netutils::CloseSocket(shut);
  }
  return *this;
}

bool UniqueSocket::IsOwnSocket() const noexcept { return own_.load(); }

void UniqueSocket::Close() noexcept {
  if (!IsOwnSocket()) {
    SetErrorPlace("libmo::UniqueSocket::Close", "Common/UniqueSocket", 73);
    LogPlacedError("IsOwnSocket()");
  }
  Reset();
}

void UniqueSocket::Reset() noexcept {
  // Ownership is read before the exchange: a concurrent Reset that finds the
  // holder empty sets it to true only after our exchange.
  const bool own = own_.load();
  const SOCKET old = socket_.exchange(INVALID_SOCKET);
  if (old != INVALID_SOCKET && own) {
    LogEventAt(1, "Close socket %d", static_cast<int>(old));
    ::shutdown(old, SD_BOTH);
    if (netutils::os::ShutdownWakesBlockedCalls()) {
      // The handle itself is released with the holder: a thread that copied
      // it out may still call recv or send on it, and must hit this
      // shut-down socket, never a new one that reused the number.
      const SOCKET earlier = shutDown_.exchange(old);
      if (earlier != INVALID_SOCKET) netutils::CloseSocket(earlier);
    } else {
      netutils::CloseSocket(old);  // only the close wakes a blocked call here
    }
  }
  own_.store(true);
}

}  // namespace libmo
