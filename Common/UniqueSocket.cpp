#include "Common/UniqueSocket.h"

#include "Common/assert.h"
#include "Common/log.h"
#include "Common/netUtils.h"

namespace libmo {

UniqueSocket::UniqueSocket(SOCKET s, bool own) noexcept
    : handle_(s), releases_(own), socket_(s), own_(own), wake_(netutils::os::NewWake()) {}

UniqueSocket::~UniqueSocket() {
  Reset();
  // No thread can use the handle any more: it is released now.
  if (handle_ != INVALID_SOCKET && releases_) netutils::CloseSocket(handle_);
  netutils::os::FreeWake(wake_);
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
  const SOCKET old = socket_.exchange(INVALID_SOCKET);
  if (old != INVALID_SOCKET && own_.load()) {
    LogEventAt(1, "Close socket %d", static_cast<int>(old));
    ::shutdown(old, SD_BOTH);
    netutils::os::SignalWake(wake_);
  }
  own_.store(true);
}

}  // namespace libmo
