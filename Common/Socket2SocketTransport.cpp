#include "Common/Socket2SocketTransport.h"

#include "Common/assert.h"
#include "Common/log.h"
#include "Common/socket_io.h"

namespace libmo {

void Socker2SocketTransport::body() {
  endedCleanly_ = false;
  char buffer[kChunk] = {};
  UniqueSocket& source = *GetSrcSocket();
  UniqueSocket& destination = *GetDstSocket();
  const int sourceId = static_cast<int>(source.Handle());
  const int destinationId = static_cast<int>(destination.Handle());
  LogEvent("Transport thread started %d -> %d", sourceId, destinationId);
  if (IsStopping()) return;
  for (;;) {
    const int received = netutils::Recv(source, buffer, kChunk);
    LogEventAt(10, "recv %d", received);
    if (received < 0) {
      SetErrorPlace("Socker2SocketTransport::body", "Common/Socket2SocketTransport", 23);
      LogSocketError("SOCKET READ FROM %d", sourceId);
      return;
    }
    if (received == 0) {
      if (IsStopping()) return;
      LogError("Reading failed. Connection closed by peer.");
      // Only this direction has ended: the destination reads the end after
      // the last byte, and the other direction goes on until its own end.
      netutils::ShutdownSend(destination);
      endedCleanly_ = true;
      return;
    }
    int offset = 0;
    int remaining = received;
    while (remaining > 0) {
      const int sent = netutils::Send(destination, buffer + offset, remaining);
      if (sent < 0) {
        if (IsStopping()) return;
        SetErrorPlace("Socker2SocketTransport::body", "Common/Socket2SocketTransport", 31);
        LogSocketError("SOCKET WRITE TO %d", destinationId);
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
