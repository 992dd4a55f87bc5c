// Zero-copy relaying: a pipe through which the kernel moves a pump's bytes
// from its source socket to its destination socket (splice), so that they
// never enter the process. Linux only; elsewhere Open fails and the pump
// copies through a buffer.
#pragma once

#include "Common/noncopyable.h"
#include "Common/platform.h"

namespace libmo {

class SpliceChannel : public Noncopyable {
 public:
  SpliceChannel() = default;
  // Closes the pipe; bytes still in it are dropped.
  ~SpliceChannel();

  // Makes the pipe, sized for at least `chunk` bytes. False (and the
  // channel unusable) when the platform has no splice or no pipe can be
  // made.
  bool Open(int chunk);

  // Like recv: moves up to `chunk` bytes that arrive on `source` into the
  // pipe, blocking until some arrive. The count, 0 at the end of the
  // stream, -1 with the last socket error set.
  // REQUIRES: Open succeeded; the pipe is empty (Send moved everything).
  int Receive(SOCKET source, int chunk);

  // Like one send: moves up to `length` bytes from the pipe to
  // `destination`. The count, or -1 with the last socket error set.
  int Send(SOCKET destination, int length);

 private:
  int read_ = -1;
  int write_ = -1;
};

}  // namespace libmo
