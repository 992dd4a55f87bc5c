// The size of one copy of the relay pumps ([general] relay_buffer): one
// setting for the whole process. Each pump reads it once, when it starts,
// so a change reaches the tunnels made after it.
#pragma once

namespace libmo {

constexpr int kRelayBufferDefault = 4000;
constexpr int kRelayBufferMin = 512;
constexpr int kRelayBufferMax = 1048576;

// `bytes` clamped to [kRelayBufferMin, kRelayBufferMax].
int ClampRelayBuffer(int bytes);

// Safe to call from any thread.
void SetRelayBufferBytes(int bytes);
int RelayBufferBytes();

}  // namespace libmo
