// The byte pump: copies what arrives on one socket to another, in chunks of
// at most relay_buffer bytes (4000 by default, libmo::RelayBufferBytes when
// the pump starts), until the source ends or fails or a stop is asked.
// Chunks of kPipeFrom bytes and more go, on Linux, through a pipe inside the
// kernel (splice) and never enter the process. Smaller ones, and all on
// other platforms, go through a buffer (recv, send): for them the system
// calls cost more than the copy, and on Linux a full chunk's send may wait
// for the next chunk's bytes (MSG_MORE) until the source has nothing more
// waiting. The buffer is one of the process's (ChunkBuffer), held only while
// bytes move. Both ways show the same log lines, reports and ends.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "Common/CommonThread.h"
#include "Common/UniqueSocket.h"

namespace libmo {

class Socker2SocketTransport : public Thread {
 public:
  static constexpr int kChunk = 4000;
  // The smallest chunk that goes through a pipe where the platform has one.
  static constexpr int kPipeFrom = 65536;
  // Stack of a pump's thread: its deepest call (a log line or an error
  // report, unwinding included) with room to spare.
  static constexpr size_t kStackBytes = 64 * 1024;

  Socker2SocketTransport();

  // Where each received chunk stamps the time (libmo::SteadyNs) from the
  // next run on; null (the default): nowhere. The atomic outlives the runs.
  void SetActivityClock(std::atomic<int64_t>* lastByteNs) { lastByteNs_ = lastByteNs; }

 protected:
  // REQUIRES: both holders are set, blocking, and kept alive by the
  // subclass while the pump runs.
  void body() override;
  void onFinish() override;

  // The holders to read from and to write to; null when unset.
  virtual UniqueSocket* GetSrcSocket() = 0;
  virtual UniqueSocket* GetDstSocket() = 0;

  // After body, on the pump's thread: true when the source ended cleanly
  // (end of stream, no stop asked) and the end was passed on as a shut-down
  // of the destination's sending side; false after a failure or a stop.
  bool EndedCleanly() const { return endedCleanly_; }

 private:
  // The loop over a copy through a pipe (false, nothing done, when the
  // platform has none) or through a buffer.
  bool RelayThroughPipe(UniqueSocket& source, UniqueSocket& destination, int chunk);
  void RelayThroughBuffer(UniqueSocket& source, UniqueSocket& destination, int chunk);
  template <class Copy>
  void Relay(Copy& copy, UniqueSocket& source, UniqueSocket& destination, int chunk);

  bool endedCleanly_ = false;
  std::atomic<int64_t>* lastByteNs_ = nullptr;
};

}  // namespace libmo
