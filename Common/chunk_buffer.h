// The relay pumps' chunk buffers, shared by the whole process. A pump holds
// one only while bytes move through it and gives it back before it waits
// for more, so an idle tunnel holds none, and the pages of a buffer serve
// whichever pump moves bytes next. One ChunkBuffer is used by one thread at
// a time; the spares behind all of them are shared under a lock.
#pragma once

#include <memory>

namespace libmo {

class ChunkBuffer {
 public:
  ChunkBuffer() = default;
  ~ChunkBuffer() { Release(); }
  ChunkBuffer(ChunkBuffer&&) = delete;
  ChunkBuffer& operator=(ChunkBuffer&&) = delete;

  // Holds a buffer of `bytes` (> 0) from then on: the held one when it has
  // that size, else a kept one or a new one. Left uninitialised.
  char* Take(int bytes);

  // The held buffer's bytes; null when none is held.
  char* data() const { return data_.get(); }

  // Gives the held buffer back to be kept for later takes (or freed when
  // enough are kept). Nothing to do when none is held.
  void Release();

 private:
  std::unique_ptr<char[]> data_;
  int bytes_ = 0;
};

}  // namespace libmo
