// Copying text into fixed-size, zero-terminated character buffers.
#pragma once

#include <cstddef>
#include <cstring>

namespace libmo {

// Fills `buffer` with at most N - 1 characters of `text` and a terminating
// zero; the rest of the buffer is zero. A null `text` gives an empty buffer.
template <std::size_t N>
void CopyTruncated(char (&buffer)[N], const char* text) {
  static_assert(N > 0, "the buffer needs room for the terminating zero");
  std::memset(buffer, 0, N);
  if (text == nullptr) return;
  std::memcpy(buffer, text, ::strnlen(text, N - 1));
}

}  // namespace libmo
