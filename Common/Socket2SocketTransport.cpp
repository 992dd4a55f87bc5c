#include "Common/Socket2SocketTransport.h"

#include "Common/assert.h"
#include "Common/chunk_buffer.h"
#include "Common/log.h"
#include "Common/relay_buffer.h"
#include "Common/socket_io.h"
#include "Common/splice_channel.h"
#include "Common/steady_clock.h"

namespace libmo {

namespace {

// Moves chunks through a buffer of the process: recv, then send. A full
// chunk tells that more bytes are probably waiting, so its sends may wait in
// the system to leave with the next chunk's, in fewer and larger segments;
// when the next receive finds nothing yet, they are pushed out before the
// pump waits. After a chunk that did not fill it, the buffer goes back to
// the process's spares while the pump waits for the source: an idle tunnel
// holds none.
struct BufferCopy {
  ChunkBuffer buffer;
  UniqueSocket& destination;  // where waiting bytes are pushed
  bool full = false;          // the last chunk filled the buffer, which is still held
  bool waiting = false;       // its bytes may still wait in the system

  explicit BufferCopy(UniqueSocket& to) : destination(to) {}

  int Receive(UniqueSocket& source, int chunk) {
    int received = netutils::kNothingYet;
    if (waiting) {
      waiting = false;
      received = netutils::RecvIfReady(source, buffer.data(), chunk);
      if (received == netutils::kNothingYet) netutils::Push(destination);
    }
    if (received == netutils::kNothingYet) {
      if (!full) {
        buffer.Release();
        netutils::WaitReadable(source);
      }
      received = netutils::Recv(source, buffer.Take(chunk), chunk);
    }
    full = received == chunk;
    return received;
  }
  int Send(UniqueSocket& to, int offset, int length) {
    waiting = full;
    return netutils::SendPart(to, buffer.data() + offset, length, full);
  }
};

// Moves chunks through a pipe inside the kernel; the offset is the pipe's.
struct PipeCopy {
  SpliceChannel& channel;
  int Receive(UniqueSocket& source, int chunk) { return channel.Receive(source.Handle(), chunk); }
  int Send(UniqueSocket& destination, int, int length) { return channel.Send(destination.Handle(), length); }
};

}  // namespace

Socker2SocketTransport::Socker2SocketTransport() { SetStackSize(kStackBytes); }

void Socker2SocketTransport::body() {
  endedCleanly_ = false;
  UniqueSocket& source = *GetSrcSocket();
  UniqueSocket& destination = *GetDstSocket();
  LogEvent("Transport thread started %d -> %d", static_cast<int>(source.Handle()),
           static_cast<int>(destination.Handle()));
  if (IsStopping()) return;
  const int chunk = RelayBufferBytes();
  if (chunk < kPipeFrom || !RelayThroughPipe(source, destination, chunk)) {
    RelayThroughBuffer(source, destination, chunk);
  }
}

bool Socker2SocketTransport::RelayThroughPipe(UniqueSocket& source, UniqueSocket& destination, int chunk) {
  SpliceChannel channel;
  if (!channel.Open(chunk)) return false;
  PipeCopy copy{channel};
  Relay(copy, source, destination, chunk);
  return true;
}

void Socker2SocketTransport::RelayThroughBuffer(UniqueSocket& source, UniqueSocket& destination, int chunk) {
  BufferCopy copy(destination);
  Relay(copy, source, destination, chunk);
}

template <class Copy>
void Socker2SocketTransport::Relay(Copy& copy, UniqueSocket& source, UniqueSocket& destination, int chunk) {
  const int sourceId = static_cast<int>(source.Handle());
  const int destinationId = static_cast<int>(destination.Handle());
  for (;;) {
    const int received = copy.Receive(source, chunk);
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
    if (lastByteNs_ != nullptr) lastByteNs_->store(SteadyNs(), std::memory_order_relaxed);
    int offset = 0;
    int remaining = received;
    while (remaining > 0) {
      const int sent = copy.Send(destination, offset, remaining);
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
