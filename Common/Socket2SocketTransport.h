// The byte pump: copies what arrives on one socket to another, in chunks of
// at most 4000 bytes, until the source closes or fails or a stop is asked.
#pragma once

#include "Common/CommonThread.h"
#include "Common/platform.h"

namespace libmo {

class Socker2SocketTransport : public Thread {
 public:
  static constexpr int kChunk = 4000;

 protected:
  // REQUIRES: both sockets are blocking and stay allocated while the pump
  // runs (the holders are kept by the subclass).
  void body() override;
  void onFinish() override;

  virtual SOCKET GetSrcSocket() = 0;
  virtual SOCKET GetDstSocket() = 0;
};

}  // namespace libmo
