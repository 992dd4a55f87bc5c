// How long an entry may stay silent ([general] halfclose_tmo and idle_tmo):
// one setting each for the whole process, read at each configuration load.
// The completion thread sweeps the live entries for them (no thread or timer
// per entry): an entry past a limit is ended like a finished one.
#pragma once

#include <chrono>
#include <cstdint>

namespace relvo {

struct EntryActivity;

// Milliseconds; 0 means no limit.
constexpr uint32_t kHalfCloseTimeoutDefault = 60000;
constexpr uint32_t kIdleTimeoutDefault = 0;

// Safe to call from any thread.
void SetEntryTimeouts(uint32_t halfCloseMs, uint32_t idleMs);
uint32_t HalfCloseTimeoutMs();
uint32_t IdleTimeoutMs();

enum class Expiry { kNone, kHalfClose, kIdle };

// Which limit an entry with `activity` has passed at `nowNs` (SteadyNs), with
// the silence that passed it in `*silentMs`. Half close: no byte for
// `halfCloseMs` since the later of the first direction's clean end and the
// last byte. Idle: no byte either way for `idleMs` since the last byte (or
// the start of the pumps). An entry whose pumps have not started never
// expires.
Expiry ExpiryOf(const EntryActivity& activity, int64_t nowNs, uint32_t halfCloseMs, uint32_t idleMs,
                int64_t* silentMs);

// How long the sweep waits between passes: a tenth of the shorter limit,
// between 50 ms and 1 s (1 s without limits, so that a reload that sets one
// is taken up soon).
std::chrono::milliseconds SweepInterval(uint32_t halfCloseMs, uint32_t idleMs);

}  // namespace relvo
