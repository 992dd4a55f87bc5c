#include "Common/relvo/entry_timeouts.h"

#include <algorithm>
#include <atomic>

#include "Common/relvo/ReadClientThread.h"

namespace relvo {
namespace {

std::atomic<uint32_t> halfCloseTimeout{kHalfCloseTimeoutDefault};
std::atomic<uint32_t> idleTimeout{kIdleTimeoutDefault};

constexpr int64_t kNsPerMs = 1000000;

}  // namespace

void SetEntryTimeouts(uint32_t halfCloseMs, uint32_t idleMs) {
  halfCloseTimeout.store(halfCloseMs, std::memory_order_relaxed);
  idleTimeout.store(idleMs, std::memory_order_relaxed);
}

uint32_t HalfCloseTimeoutMs() { return halfCloseTimeout.load(std::memory_order_relaxed); }
uint32_t IdleTimeoutMs() { return idleTimeout.load(std::memory_order_relaxed); }

Expiry ExpiryOf(const EntryActivity& activity, int64_t nowNs, uint32_t halfCloseMs, uint32_t idleMs,
                int64_t* silentMs) {
  const int64_t lastByte = activity.lastByteNs.load(std::memory_order_relaxed);
  if (lastByte == 0) return Expiry::kNone;
  const int64_t halfClosed = activity.halfClosedNs.load(std::memory_order_relaxed);
  if (halfCloseMs != 0 && halfClosed != 0) {
    *silentMs = (nowNs - std::max(lastByte, halfClosed)) / kNsPerMs;
    if (*silentMs >= halfCloseMs) return Expiry::kHalfClose;
  }
  if (idleMs != 0) {
    *silentMs = (nowNs - lastByte) / kNsPerMs;
    if (*silentMs >= idleMs) return Expiry::kIdle;
  }
  return Expiry::kNone;
}

std::chrono::milliseconds SweepInterval(uint32_t halfCloseMs, uint32_t idleMs) {
  uint32_t shorter = std::min(halfCloseMs == 0 ? UINT32_MAX : halfCloseMs, idleMs == 0 ? UINT32_MAX : idleMs);
  if (shorter == UINT32_MAX) return std::chrono::milliseconds(1000);
  return std::chrono::milliseconds(std::clamp<uint32_t>(shorter / 10, 50, 1000));
}

}  // namespace relvo
