#include "tools/relvoproxy/broker.h"

#include <algorithm>

namespace relvoproxy {

using Kind = BrokerAction::Kind;


const char* EndReasonText(EndReason reason) {
  switch (reason) {
    case EndReason::kRefused:
      return "connector refused the transport (00 00)";
    case EndReason::kAnswerDeadline:
      return "no answer in time";
    case EndReason::kNoTransport:
      return "answer 01 00 without a transport connection";
    case EndReason::kNoConnector:
      return "no connector took the client in time";
    case EndReason::kStray:
      return "stray transport connection";
    case EndReason::kUnused:
      return "transport connection of a request that failed";
    case EndReason::kBadAnswer:
      return "bad answer on the command connection";
    case EndReason::kStopping:
      return "proxy stopping";
  }
  return "?";
}

void Broker::Emit(Kind kind, ConnectionId command, ConnectionId client, ConnectionId transport, EndReason reason) {
  actions_.push_back(BrokerAction{kind, command, client, transport, reason});
}

std::vector<BrokerAction> Broker::TakeActions() {
  std::vector<BrokerAction> taken;
  taken.swap(actions_);
  return taken;
}

bool Broker::HostBusy(const std::string& host) const {
  const auto h = hosts_.find(host);
  return h != hosts_.end() && h->second.open.has_value();
}

void Broker::EndClient(Request& request, EndReason reason) {
  if (request.client != 0) Emit(Kind::kCloseClient, request.command, request.client, 0, reason);
  request.client = 0;
}

void Broker::Release(const std::string& host) {
  const auto h = hosts_.find(host);
  if (h == hosts_.end()) return;
  h->second.open.reset();
  if (h->second.pending.empty()) hosts_.erase(h);
}

// After 01 00 without a transport: gives up once no connection numbered
// inside the request's window is still in its handshake.
void Broker::Settle(const std::string& host) {
  const auto h = hosts_.find(host);
  if (h == hosts_.end() || !h->second.open || h->second.open->state != Request::State::kAccepted) return;
  const Request& r = *h->second.open;
  for (const auto& [connection, seq] : h->second.pending) {
    if (seq >= r.firstSeq && seq < r.endSeq) return;
  }
  EndClient(*h->second.open, EndReason::kNoTransport);
  Release(host);
}

void Broker::AddClient(ConnectionId client, Clock::time_point now) {
  waiting_.push_back(Waiting{client, now});
  Dispatch(now);
}

void Broker::AwaitingType(ConnectionId connection, const std::string& host) {
  hosts_[host].pending[connection] = seq_++;
}

void Broker::HandshakeEnded(ConnectionId connection, const std::string& host, Clock::time_point now) {
  const auto h = hosts_.find(host);
  if (h == hosts_.end()) return;
  h->second.pending.erase(connection);
  if (!h->second.open && h->second.pending.empty()) {
    hosts_.erase(h);
  } else {
    Settle(host);
  }
  Dispatch(now);
}

void Broker::AddCommand(ConnectionId command, const std::string& host, Clock::time_point now) {
  const auto h = hosts_.find(host);
  if (h != hosts_.end()) {
    h->second.pending.erase(command);
    if (!h->second.open && h->second.pending.empty()) {
      hosts_.erase(h);
    } else {
      Settle(host);
    }
  }
  commands_[command] = Command{host, now + settings_.pingInterval};
  ring_.push_back(command);
  Dispatch(now);
}

void Broker::AddTransport(ConnectionId transport, const std::string& host, Clock::time_point now) {
  Host& h = hosts_[host];
  uint64_t seq = seq_;
  const auto p = h.pending.find(transport);
  if (p != h.pending.end()) {
    seq = p->second;
    h.pending.erase(p);
  } else {
    ++seq_;
  }
  Request* r = h.open ? &*h.open : nullptr;
  if (r == nullptr || r->transport != 0 || seq < r->firstSeq || seq >= r->endSeq) {
    Emit(Kind::kCloseTransport, 0, 0, transport, EndReason::kStray);
    if (!h.open && h.pending.empty()) {
      hosts_.erase(host);
    } else {
      Settle(host);
    }
    Dispatch(now);
    return;
  }
  switch (r->state) {
    case Request::State::kAwaitingAnswer:
      r->transport = transport;
      break;
    case Request::State::kAccepted:
      Emit(Kind::kPair, r->command, r->client, transport);
      Release(host);
      break;
    case Request::State::kOrphaned:
      Emit(Kind::kCloseTransport, r->command, 0, transport, EndReason::kUnused);
      Release(host);
      break;
  }
  Dispatch(now);
}

void Broker::Answer(ConnectionId command, uint16_t word, Clock::time_point now) {
  const auto c = commands_.find(command);
  if (c == commands_.end()) return;
  const std::string host = c->second.host;
  const auto h = hosts_.find(host);
  Request* r = h != hosts_.end() && h->second.open ? &*h->second.open : nullptr;
  if (r == nullptr || r->command != command || r->state != Request::State::kAwaitingAnswer || word > 1) {
    DropCommand(command, now);
    Emit(Kind::kCloseCommand, command, 0, 0, EndReason::kBadAnswer);
    return;
  }
  if (word == 0) {
    EndClient(*r, EndReason::kRefused);
    if (r->transport != 0) Emit(Kind::kCloseTransport, command, 0, r->transport, EndReason::kUnused);
    Release(host);
  } else if (r->transport != 0) {
    Emit(Kind::kPair, command, r->client, r->transport);
    Release(host);
  } else {
    r->state = Request::State::kAccepted;
    r->endSeq = seq_;
    r->deadline = now + settings_.transportTimeout;
    Settle(host);
  }
  Dispatch(now);
}

void Broker::CommandClosed(ConnectionId command, Clock::time_point now) {
  DropCommand(command, now);
}

void Broker::DropCommand(ConnectionId command, Clock::time_point now) {
  const auto c = commands_.find(command);
  if (c == commands_.end()) return;
  const std::string host = c->second.host;
  commands_.erase(c);
  const auto at = std::find(ring_.begin(), ring_.end(), command);
  if (at != ring_.end()) {
    const size_t index = static_cast<size_t>(at - ring_.begin());
    ring_.erase(at);
    if (index < next_) --next_;
  }

  const auto h = hosts_.find(host);
  if (h != hosts_.end() && h->second.open && h->second.open->command == command &&
      h->second.open->state == Request::State::kAwaitingAnswer) {
    Request& r = *h->second.open;
    // The client goes back to the head of the queue, for another connector.
    if (r.client != 0) waiting_.push_front(Waiting{r.client, now});
    r.client = 0;
    if (r.transport != 0) {
      // The one transport of the request has come: nothing left to wait for.
      Emit(Kind::kCloseTransport, command, 0, r.transport, EndReason::kUnused);
      Release(host);
    } else {
      r.state = Request::State::kOrphaned;
      r.deadline = now + settings_.transportTimeout;
    }
  }
  Dispatch(now);
}

void Broker::Expire(const std::string& host, Clock::time_point now) {
  const auto h = hosts_.find(host);
  if (h == hosts_.end() || !h->second.open || h->second.open->deadline > now) return;
  Request& r = *h->second.open;
  switch (r.state) {
    case Request::State::kAwaitingAnswer: {
      // A late answer could no longer be told from the next one's: the
      // command connection goes, and the request becomes an orphan.
      const ConnectionId command = r.command;
      DropCommand(command, now);
      Emit(Kind::kCloseCommand, command, 0, 0, EndReason::kAnswerDeadline);
      break;
    }
    case Request::State::kAccepted:
      EndClient(r, EndReason::kNoTransport);
      Release(host);
      break;
    case Request::State::kOrphaned:
      Release(host);
      break;
  }
}

void Broker::Tick(Clock::time_point now) {
  for (auto& [id, command] : commands_) {
    if (command.nextPing <= now) {
      Emit(Kind::kSendPing, id, 0, 0);
      command.nextPing = now + settings_.pingInterval;
    }
  }
  std::vector<std::string> due;
  for (const auto& [name, host] : hosts_) {
    if (host.open && host.open->deadline <= now) due.push_back(name);
  }
  for (const std::string& name : due) Expire(name, now);
  // A client sent back to the head of the queue waits afresh, so the queue is
  // not in age order: every waiting client is checked.
  std::erase_if(waiting_, [&](const Waiting& w) {
    if (w.since + settings_.transportTimeout > now) return false;
    Emit(Kind::kCloseClient, 0, w.client, 0, EndReason::kNoConnector);
    return true;
  });
  Dispatch(now);
}

void Broker::Dispatch(Clock::time_point now) {
  while (!waiting_.empty() && !ring_.empty()) {
    ConnectionId chosen = 0;
    for (size_t i = 0; i < ring_.size(); ++i) {
      const size_t index = (next_ + i) % ring_.size();
      if (!HostBusy(commands_[ring_[index]].host)) {
        chosen = ring_[index];
        next_ = index + 1;
        break;
      }
    }
    if (chosen == 0) return;
    Request r;
    r.command = chosen;
    r.client = waiting_.front().client;
    r.firstSeq = seq_;
    r.deadline = now + settings_.transportTimeout;
    waiting_.pop_front();
    hosts_[commands_[chosen].host].open = r;
    Emit(Kind::kSendCreate, chosen, r.client, 0);
  }
}

void Broker::StopAll() {
  for (const Waiting& w : waiting_) Emit(Kind::kCloseClient, 0, w.client, 0, EndReason::kStopping);
  waiting_.clear();
  for (auto& [name, host] : hosts_) {
    if (!host.open) continue;
    EndClient(*host.open, EndReason::kStopping);
    if (host.open->transport != 0) {
      Emit(Kind::kCloseTransport, host.open->command, 0, host.open->transport, EndReason::kStopping);
    }
  }
  hosts_.clear();
  for (const auto& [id, command] : commands_) Emit(Kind::kCloseCommand, id, 0, 0, EndReason::kStopping);
  commands_.clear();
  ring_.clear();
  next_ = 0;
}

std::optional<Clock::time_point> Broker::NextDeadline() const {
  std::optional<Clock::time_point> next;
  auto consider = [&next](Clock::time_point t) {
    if (!next || t < *next) next = t;
  };
  for (const auto& [id, command] : commands_) consider(command.nextPing);
  for (const auto& [name, host] : hosts_) {
    if (host.open) consider(host.open->deadline);
  }
  for (const Waiting& w : waiting_) consider(w.since + settings_.transportTimeout);
  return next;
}

}  // namespace relvoproxy
