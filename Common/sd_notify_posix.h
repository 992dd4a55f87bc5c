// Client side of systemd's service notification protocol: datagrams of
// newline-separated VAR=VALUE assignments ("READY=1", "STOPPING=1",
// "STATUS=...") sent to the AF_UNIX socket that the service manager names in
// the NOTIFY_SOCKET environment variable. POSIX only.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "Common/service_host.h"
#include "Common/unique_fd.h"

namespace libmo::sd {

// The notification text for a status report: "READY=1" for running,
// "STOPPING=1" for stop pending, always a "STATUS=" line,
// "EXTEND_TIMEOUT_USEC=" for a wait hint and "ERRNO=" for a non-zero exit
// code (an errno value).
std::string NotifyText(host::State state, uint32_t checkPoint, uint32_t waitHintMs, int exitCode);

// A datagram socket aimed at the service manager's notification socket.
class NotifySocket {
 public:
  NotifySocket() = default;

  // Opens a socket for `address`: an absolute path, or the name of a socket
  // in the abstract namespace when it starts with '@'. On failure returns an
  // invalid object with errno set: EINVAL for an empty or relative address,
  // ENAMETOOLONG when it does not fit a socket address, or socket()'s error.
  static NotifySocket Open(std::string_view address);

  bool Valid() const { return fd_.Valid(); }

  // Sends `message` as one datagram. Returns false with errno set (EBADF on
  // an invalid object). Safe to call from any thread.
  bool Send(std::string_view message) const;

 private:
  UniqueFd fd_;
  sockaddr_un address_ = {};
  socklen_t addressLength_ = 0;
};

}  // namespace libmo::sd
