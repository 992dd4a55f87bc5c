#include "tests/support/relay_peers.h"

namespace testsupport {

RelayTarget::RelayTarget(TargetBehaviour behaviour) : Recorder(0), behaviour_(std::move(behaviour)) { Start(); }

RelayTarget::~RelayTarget() { Stop(); }

void RelayTarget::Serve(Link& link) {
  if (!behaviour_.greeting.empty() && !link.SendAll(behaviour_.greeting) && !link.stopping()) {
    link.Fail("greeting not sent");
  }
  std::string bytes;
  while (link.Receive(&bytes) == Link::Read::Data) {
    Update(link.index(), [&](ConnectionRecord& c) { c.received += bytes; });
    // A failed echo: the peer went away (its end is read next) or the server is stopping (seen by the next receive).
    if (behaviour_.echo) link.SendAll(bytes);
  }
}

bool RelayTarget::WaitForReceived(size_t index, size_t count, std::chrono::milliseconds timeout) const {
  return WaitUntil([&](const auto& all) { return index < all.size() && all[index].received.size() >= count; },
                   timeout);
}

}  // namespace testsupport
