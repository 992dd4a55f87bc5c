#include "Common/Socket2SocketTransport.h"

#include "Common/assert.h"
#include "Common/log.h"
#include "Common/netUtils.h"

namespace libmo {

void Socker2SocketTransport::body() {
  char buffer[kChunk] = {};
  const SOCKET source = GetSrcSocket();
  const SOCKET destination = GetDstSocket();
  LogEvent("Transport thread started %d -> %d", static_cast<int>(source), static_cast<int>(destination));
  if (IsStopping()) return;
  for (;;) {
    const int received = static_cast<int>(::recv(source, buffer, kChunk, 0));
    LogEventAt(10, "recv %d", received);
    if (received < 0) {
      SetErrorPlace("Socker2SocketTransport::body", "Common/Socket2SocketTransport", 23);
      LogSocketError("SOCKET READ FROM %d", static_cast<int>(source));
      return;
    }
    if (received == 0) {
      if (IsStopping()) return;
      LogError("Reading failed. Connection closed by peer.");
      return;
    }
    int offset = 0;
    int remaining = received;
    while (remaining > 0) {
      const int sent = netutils::Send(destination, buffer + offset, remaining);
      if (sent < 0) {
        if (IsStopping()) return;
        SetErrorPlace("Socker2SocketTransport::body", "Common/Socket2SocketTransport", 31);
        LogSocketError("SOCKET WRITE TO %d", static_cast<int>(destination));
        LogEvent("Writing failed. Connection closed by peer.");
        return;
      }
      offset += sent;
      remaining -= sent;
    }
    LogEventAt(10, "sent");
    if (IsStopping()) return;
  }
}

void Socker2SocketTransport::onFinish() { LogEvent("Transport thread finished"); }

}  // namespace libmo
