// The steady clock as one number, for times that threads share in atomics.
#pragma once

#include <chrono>
#include <cstdint>

namespace libmo {

// Nanoseconds of the steady (monotonic) clock since its epoch.
// Safe to call from any thread.
inline int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace libmo
