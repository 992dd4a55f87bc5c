#include "Common/chunk_buffer.h"

#include <mutex>
#include <utility>
#include <vector>

namespace libmo {

namespace {

// Free buffers are kept up to this many bytes in all: enough for every pump
// of a busy process at the default chunk, a few at the largest.
constexpr size_t kKeptBytes = 1 << 20;

struct Kept {
  std::mutex mutex;
  std::vector<std::pair<std::unique_ptr<char[]>, int>> buffers;  // guarded by mutex
  size_t bytes = 0;                                              // guarded by mutex
};

Kept& kept() {
  static Kept* const instance = new Kept;  // never destroyed: pumps may outlive static destruction
  return *instance;
}

}  // namespace

char* ChunkBuffer::Take(int bytes) {
  if (data_ && bytes_ == bytes) return data_.get();
  Release();
  Kept& k = kept();
  {
    std::lock_guard<std::mutex> lock(k.mutex);
    while (!k.buffers.empty()) {
      auto last = std::move(k.buffers.back());
      k.buffers.pop_back();
      k.bytes -= static_cast<size_t>(last.second);
      if (last.second == bytes) {
        data_ = std::move(last.first);
        break;
      }
      // Kept at another size (the setting changed): let it go.
    }
  }
  if (!data_) data_.reset(new char[static_cast<size_t>(bytes)]);
  bytes_ = bytes;
  return data_.get();
}

void ChunkBuffer::Release() {
  if (!data_) return;
  Kept& k = kept();
  std::unique_ptr<char[]> spare;
  {
    std::lock_guard<std::mutex> lock(k.mutex);
    if (k.bytes + static_cast<size_t>(bytes_) <= kKeptBytes) {
      k.buffers.emplace_back(std::move(data_), bytes_);
      k.bytes += static_cast<size_t>(bytes_);
    }
  }
  spare = std::move(data_);  // freed outside the lock when not kept
  bytes_ = 0;
}

}  // namespace libmo
