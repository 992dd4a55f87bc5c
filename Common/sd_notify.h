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

#include "Common/unique_fd.h"

namespace libmo::sd {

// Service states, numbered like the Windows SERVICE_* states they stand for.
enum class ServiceState : uint32_t {
  kStopped = 1,
  kStartPending = 2,
  kStopPending = 3,
  kRunning = 4,
};

// One status report, as the service host keeps it between reports.
struct ServiceStatus {
  ServiceState state = ServiceState::kStopped;
  uint32_t controlsAccepted = 0;
  int exitCode = 0;  // errno value; 0 for none
  uint32_t checkPoint = 0;
  uint32_t waitHintMs = 0;
};

// The notification text for `status`: "READY=1" for running, "STOPPING=1"
// for stop pending, always a "STATUS=" line, "EXTEND_TIMEOUT_USEC=" for a
// wait hint and "ERRNO=" for a non-zero exit code.
std::string NotifyText(const ServiceStatus& status);

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
