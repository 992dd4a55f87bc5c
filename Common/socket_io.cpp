#include "Common/socket_io.h"

#include "Common/netUtils.h"

namespace netutils {

bool SendAll(const libmo::UniqueSocket& socket, const char* data, int length) {
  return SendEvery(length, [&](int offset, int left) { return Send(socket, data + offset, left); });
}

bool ShutdownSend(const libmo::UniqueSocket& socket) { return ::shutdown(socket.Handle(), SD_SEND) == 0; }

}  // namespace netutils
