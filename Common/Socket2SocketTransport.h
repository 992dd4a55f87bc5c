// The byte pump: copies what arrives on one socket to another, in chunks of
// at most 4000 bytes, until the source ends or fails or a stop is asked.
#pragma once

#include "Common/CommonThread.h"
#include "Common/UniqueSocket.h"

namespace libmo {

class Socker2SocketTransport : public Thread {
 public:
  static constexpr int kChunk = 4000;

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
  bool endedCleanly_ = false;
};

}  // namespace libmo
