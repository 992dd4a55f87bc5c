#include "Common/relay_buffer.h"

#include <algorithm>
#include <atomic>

namespace libmo {

namespace {
std::atomic<int> relayBuffer{kRelayBufferDefault};
}  // namespace

int ClampRelayBuffer(int bytes) { return std::clamp(bytes, kRelayBufferMin, kRelayBufferMax); }

void SetRelayBufferBytes(int bytes) { relayBuffer.store(ClampRelayBuffer(bytes), std::memory_order_relaxed); }

int RelayBufferBytes() { return relayBuffer.load(std::memory_order_relaxed); }

}  // namespace libmo
