#include "Common/socket_timeout.h"

#include <sys/time.h>

namespace netutils {

bool SetReceiveTimeout(SOCKET s, uint32_t ms) {
  struct timeval value;
  value.tv_sec = static_cast<time_t>(ms / 1000);
  value.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  return ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value) == 0;
}

}  // namespace netutils
