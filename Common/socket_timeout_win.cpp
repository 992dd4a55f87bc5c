#include "Common/socket_timeout.h"

namespace netutils {

bool SetReceiveTimeout(SOCKET s, uint32_t ms) {
  const DWORD value = ms;
  return ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

}  // namespace netutils
