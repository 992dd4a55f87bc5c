// Receive time-out of a blocking socket.
#pragma once

#include <cstdint>

#include "Common/platform.h"

namespace netutils {

// Bounds every later recv on `s` to `ms` milliseconds (0: no bound). A recv
// that times out fails like any other socket error. False when the option
// cannot be set (the last socket error tells why).
bool SetReceiveTimeout(SOCKET s, uint32_t ms);

}  // namespace netutils
