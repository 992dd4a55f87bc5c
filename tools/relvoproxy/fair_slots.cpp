#include "tools/relvoproxy/fair_slots.h"

#include <mutex>

namespace relvoproxy {

uint64_t FairSlots::Admit(uint64_t id, const std::string& address) {
  uint64_t evicted = 0;
  const size_t own = CountOf(address);
  if (perAddress_ != 0 && own >= perAddress_) {
    evicted = Evict(address);
  } else if (owners_.size() >= total_) {
    // The biggest holder, the newcomer's own address counted with it; on a
    // tie, the one whose oldest connection is the oldest.
    std::string biggest = address;
    size_t most = own + 1;
    uint64_t oldest = own > 0 ? byAddress_[address].begin()->first : UINT64_MAX;
    for (const auto& [name, ids] : byAddress_) {
      if (ids.size() > most || (ids.size() == most && ids.begin()->first < oldest)) {
        biggest = name;
        most = ids.size();
        oldest = ids.begin()->first;
      }
    }
    evicted = Evict(biggest);
  }
  owners_[id] = address;
  byAddress_[address][id] = 0;
  return evicted;
}

uint64_t FairSlots::Evict(const std::string& address) {
  const auto a = byAddress_.find(address);
  if (a == byAddress_.end() || a->second.empty()) return 0;
  const uint64_t id = a->second.begin()->first;
  Release(id);
  return id;
}

void FairSlots::Release(uint64_t id) {
  const auto o = owners_.find(id);
  if (o == owners_.end()) return;
  const auto a = byAddress_.find(o->second);
  a->second.erase(id);
  if (a->second.empty()) byAddress_.erase(a);
  owners_.erase(o);
}

size_t FairSlots::CountOf(const std::string& address) const {
  const auto a = byAddress_.find(address);
  return a == byAddress_.end() ? 0 : a->second.size();
}

struct AddressCounts::State {
  explicit State(size_t most) : perAddress(most) {}
  const size_t perAddress;
  std::mutex mutex;
  std::map<std::string, size_t> counts;  // guarded by mutex
};

AddressCounts::AddressCounts(size_t perAddress) : state_(std::make_shared<State>(perAddress)) {}

std::shared_ptr<void> AddressCounts::Take(const std::string& address) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    size_t& count = state_->counts[address];
    if (count >= state_->perAddress) return nullptr;
    ++count;
  }
  // The hold keeps the state alive: it may end after its owner.
  return std::shared_ptr<void>(state_.get(), [state = state_, address](void*) {
    std::lock_guard<std::mutex> lock(state->mutex);
    const auto c = state->counts.find(address);
    if (--c->second == 0) state->counts.erase(c);
  });
}

}  // namespace relvoproxy
