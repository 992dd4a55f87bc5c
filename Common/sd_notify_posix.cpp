#include <cerrno>
#include <cstddef>
#include <cstring>

#include "Common/sd_notify_posix.h"

namespace libmo::sd {

std::string NotifyText(host::State state, uint32_t checkPoint, uint32_t waitHintMs, int exitCode) {
  using host::State;
  std::string text;
  switch (state) {
    case State::kStartPending:
      text = "STATUS=Service start pending (check point " + std::to_string(checkPoint) + ")";
      break;
    case State::kRunning:
      text = "READY=1\nSTATUS=Service running";
      break;
    case State::kStopPending:
      text = "STOPPING=1\nSTATUS=Service stop pending (check point " + std::to_string(checkPoint) + ")";
      break;
    case State::kStopped:
      text = "STATUS=Service stopped";
      break;
  }
  if (waitHintMs != 0) {
    text += "\nEXTEND_TIMEOUT_USEC=" + std::to_string(static_cast<uint64_t>(waitHintMs) * 1000);
  }
  if (exitCode != 0) text += "\nERRNO=" + std::to_string(exitCode);
  return text;
}

NotifySocket NotifySocket::Open(std::string_view address) {
  NotifySocket result;
  const bool abstract = !address.empty() && address.front() == '@';
  if (address.empty() || (!abstract && address.front() != '/')) {
    errno = EINVAL;
    return result;
  }
  // A path needs its terminating zero; an abstract name is its bytes alone.
  if (address.size() + (abstract ? 0 : 1) > sizeof(result.address_.sun_path)) {
    errno = ENAMETOOLONG;
    return result;
  }
  result.address_.sun_family = AF_UNIX;
  std::memcpy(result.address_.sun_path, address.data(), address.size());
  if (abstract) result.address_.sun_path[0] = '\0';
  result.addressLength_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size() + (abstract ? 0 : 1));
  result.fd_.Reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  return result;
}

bool NotifySocket::Send(std::string_view message) const {
  if (!fd_.Valid()) {
    errno = EBADF;
    return false;
  }
  for (;;) {
    const ssize_t sent = ::sendto(fd_.Get(), message.data(), message.size(), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&address_), addressLength_);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0) return false;
    // A datagram goes whole or not at all; anything else is a short send.
    if (static_cast<size_t>(sent) == message.size()) return true;
    errno = EMSGSIZE;
    return false;
  }
}

}  // namespace libmo::sd
