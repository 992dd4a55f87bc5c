#include "Common/socket_io.h"

namespace netutils {

bool SendAll(const libmo::UniqueSocket& socket, const char* data, int length) {
  int sent = 0;
  while (sent < length) {
    const int n = Send(socket, data + sent, length - sent);
    if (n < 0) return false;
    sent += n;
  }
  return true;
}

bool ShutdownSend(const libmo::UniqueSocket& socket) { return ::shutdown(socket.Handle(), SD_SEND) == 0; }

}  // namespace netutils
