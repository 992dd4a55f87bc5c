// Per-address limits on what peers may hold at one time, so that a flood
// from one address costs that address first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace relvoproxy {

// Slots for connections, at most `total` at once and at most `perAddress`
// (0: no own bound) from one address. When a newcomer finds no room, the
// oldest connection of the address that holds the most (the newcomer's own
// counted with it) gives its slot up: a peer that floods pushes out its own
// connections before anyone else's, and a well-behaved address that holds
// few is never the one to go while another holds more.
// Not thread-safe: the owner serializes the calls.
class FairSlots {
 public:
  // REQUIRES: total > 0.
  FairSlots(size_t total, size_t perAddress) : total_(total), perAddress_(perAddress) {}

  // Takes a slot for `id` from `address`; returns the id that gave its slot
  // up for it (its owner closes that connection), or 0.
  // REQUIRES: `id` is non-zero and holds no slot.
  uint64_t Admit(uint64_t id, const std::string& address);

  // Frees the slot of `id`; nothing when it holds none.
  void Release(uint64_t id);

  size_t Size() const { return owners_.size(); }
  size_t CountOf(const std::string& address) const;

 private:
  // Removes the oldest slot of `address` and returns its id.
  uint64_t Evict(const std::string& address);

  const size_t total_;
  const size_t perAddress_;
  std::map<uint64_t, std::string> owners_;              // id -> its address
  std::map<std::string, std::map<uint64_t, int>> byAddress_;  // address -> its ids (ascending: oldest first)
};

// Counts what each address holds of a resource, at most `perAddress` at a
// time. Thread-safe.
class AddressCounts {
 public:
  explicit AddressCounts(size_t perAddress);

  // A hold on one unit for `address`, released when the last copy of the
  // returned pointer is dropped (from any thread, also after this object is
  // gone); null when `address` holds `perAddress` already.
  std::shared_ptr<void> Take(const std::string& address);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace relvoproxy
