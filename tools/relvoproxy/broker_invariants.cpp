// The rules the broker's state keeps between events. Each check names the
// rule it found broken; nothing here changes the state.
#include <algorithm>
#include <set>

#include "tools/relvoproxy/broker.h"

namespace relvoproxy {

std::string Broker::CheckInvariants() const {
  // The ring holds every command connection once, and nothing else; the
  // search start stays within it.
  if (ring_.size() != commands_.size()) return "ring and command connections differ in number";
  for (const ConnectionId id : ring_) {
    if (commands_.count(id) == 0) return "ring holds an unknown command connection";
  }
  if (std::set<ConnectionId>(ring_.begin(), ring_.end()).size() != ring_.size()) return "ring holds one twice";
  if (next_ > ring_.size()) return "ring search starts past its end";

  std::set<ConnectionId> clients;
  for (const Waiting& w : waiting_) {
    if (w.client == 0 || !clients.insert(w.client).second) return "a waiting client is 0 or waits twice";
  }

  for (const auto& [name, host] : hosts_) {
    // A host without an open request or a connection in its handshake is
    // forgotten at once.
    if (!host.open && host.pending.empty()) return "host " + name + " kept with nothing to wait for";
    // Every connection gets its own number, below the counter.
    std::set<uint64_t> numbers;
    for (const auto& [connection, seq] : host.pending) {
      if (seq >= seq_) return "a pending connection numbered ahead of the counter";
      if (!numbers.insert(seq).second) return "two pending connections share a number";
      if (commands_.count(connection) != 0) return "a command connection still pending";
    }
    if (!host.open) continue;
    const Request& r = *host.open;
    if (r.transport != 0 && host.pending.count(r.transport) != 0) return "a held transport is still pending";
    if (r.command == 0) return "a request without its command connection";
    if (r.firstSeq > seq_ || r.firstSeq > r.endSeq) return "request window of host " + name + " reversed";
    if (r.client != 0 && !clients.insert(r.client).second) return "a client both waits and is served";
    switch (r.state) {
      case Request::State::kAwaitingAnswer: {
        const auto c = commands_.find(r.command);
        if (c == commands_.end() || c->second.host != name) return "request awaits a command connection gone";
        if (r.client == 0) return "request awaits an answer for no client";
        break;
      }
      case Request::State::kAccepted:
        if (r.transport != 0 || r.endSeq == UINT64_MAX) return "accepted request holds a transport or no window";
        if (r.client == 0) return "accepted request has no client";
        break;
      case Request::State::kOrphaned:
        if (r.client != 0 || r.transport != 0) return "orphaned request holds a client or transport";
        break;
    }
  }

  // A client never waits while a command connection's host is free: every
  // event dispatches before it returns.
  if (!waiting_.empty()) {
    for (const auto& [id, command] : commands_) {
      if (!HostBusy(command.host)) return "a client waits while a connector is idle";
    }
  }
  return std::string();
}

}  // namespace relvoproxy
