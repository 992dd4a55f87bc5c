#include "tools/relvoproxy/controller.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "Common/log.h"
#include "Common/netUtils.h"
#include "Common/relvo/Wire.h"
#include "Common/socket_io.h"
#include "tools/relvoproxy/net.h"

namespace relvoproxy {

namespace {

unsigned long long Number(ConnectionId id) { return static_cast<unsigned long long>(id); }

long long MsSince(Clock::time_point since) {
  return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

}  // namespace

Controller::Controller(BrokerSettings settings, ControllerLimits limits, ThreadGroup& threads)
    : threads_(threads),
      broker_(settings),
      limits_(limits),
      stallLimit_(std::max<Clock::duration>(2 * settings.pingInterval, std::chrono::seconds(1))),
      connectors_(limits.maxConnectors, 0),
      clientCounts_(limits.maxClientsPerAddress) {}

Controller::~Controller() {
  if (thread_.joinable()) Stop();
}

void Controller::Start() {
  thread_ = std::thread([this] {
    SetThreadTag("CTL");
    Run();
  });
}

bool Controller::Post(Event event) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (stopping_) return false;
  queue_.push_back(std::move(event));
  if (inCharge_) return true;  // the thread in charge handles it in turn
  inCharge_ = true;
  HandleQueued(lock);
  return true;
}

void Controller::HandleQueued(std::unique_lock<std::mutex>& lock) noexcept {
  char tag[8] = {};
  std::strncpy(tag, ThreadTag(), sizeof tag - 1);
  const bool retag = std::strcmp(tag, "CTL") != 0;
  if (retag) SetThreadTag("CTL");
  for (;;) {
    std::deque<Event> batch;
    batch.swap(queue_);
    lock.unlock();
    for (Event& event : batch) {
      Handle(event, Clock::now());
      Execute();
    }
    broker_.Tick(Clock::now());
    Execute();
    std::optional<Clock::time_point> next = CheckPeers(Clock::now());
    const std::optional<Clock::time_point> brokers = broker_.NextDeadline();
    if (brokers && (!next || *brokers < *next)) next = brokers;
    lock.lock();
    if (!queue_.empty()) continue;
    inCharge_ = false;
    nextDeadline_ = next;
    if (wakeAt_ == Clock::time_point::min() || (next && *next < wakeAt_)) wake_.notify_one();
    break;
  }
  if (retag) SetThreadTag(tag);
}

bool Controller::ClientArrived(ConnectionId client, std::shared_ptr<libmo::UniqueSocket> socket,
                               const std::string& host, const std::string& peer) {
  return Post(Event{Event::Type::kClient, client, host, peer, std::move(socket), 0});
}

bool Controller::AwaitingType(ConnectionId connection, const std::string& host) {
  return Post(Event{Event::Type::kAwaitingType, connection, host, "", nullptr, 0});
}

bool Controller::HandshakeEnded(ConnectionId connection, const std::string& host) {
  return Post(Event{Event::Type::kHandshakeEnded, connection, host, "", nullptr, 0});
}

bool Controller::CommandUp(ConnectionId command, const std::string& host, const std::string& peer,
                           std::shared_ptr<libmo::UniqueSocket> socket) {
  return Post(Event{Event::Type::kCommandUp, command, host, peer, std::move(socket), 0});
}

bool Controller::TransportUp(ConnectionId transport, const std::string& host, const std::string& peer,
                             std::shared_ptr<libmo::UniqueSocket> socket) {
  return Post(Event{Event::Type::kTransportUp, transport, host, peer, std::move(socket), 0});
}

bool Controller::AnswerWord(ConnectionId command, uint16_t word) {
  return Post(Event{Event::Type::kAnswer, command, "", "", nullptr, word});
}

bool Controller::CommandDown(ConnectionId command, const std::string& how) {
  return Post(Event{Event::Type::kCommandDown, command, "", how, nullptr, 0});
}

void Controller::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void Controller::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (inCharge_) {
      wakeAt_ = Clock::time_point::min();
      wake_.wait(lock);
      wakeAt_ = Clock::time_point::max();
      continue;
    }
    const bool due = !queue_.empty() || (nextDeadline_ && *nextDeadline_ <= Clock::now());
    if (due) {
      inCharge_ = true;
      HandleQueued(lock);
      continue;
    }
    if (stopping_) break;
    wakeAt_ = nextDeadline_ ? *nextDeadline_ : Clock::time_point::max();
    if (nextDeadline_) {
      wake_.wait_until(lock, *nextDeadline_);
    } else {
      wake_.wait(lock);
    }
    wakeAt_ = Clock::time_point::max();
  }
  // Stopping, and no thread in charge: posts are refused from now on.
  inCharge_ = true;
  lock.unlock();

  broker_.StopAll();
  Execute();
  for (const std::weak_ptr<Session>& weak : sessions_) {
    if (const std::shared_ptr<Session> session = weak.lock()) session->Stop();
  }
  sessions_.clear();
  // The broker has ended everything it knew; what is left never reached it.
  for (auto& [id, client] : clients_) client.socket->Reset();
  for (auto& [id, transport] : transports_) transport.socket->Reset();
  clients_.clear();
  transports_.clear();
}

void Controller::Handle(Event& event, Clock::time_point now) {
  switch (event.type) {
    case Event::Type::kClient:
    {
      std::shared_ptr<void> hold;
      const bool room = broker_.WaitingClients() < kMaxWaitingClients;
      if (room) hold = clientCounts_.Take(event.host);
      if (!hold) {
        std::string held;
        if (refusals_.Allow(&held)) {
          LogEvent("client #%llu %s: not relayed: %s%s", Number(event.id), event.text.c_str(),
                   room ? "too many clients from its address" : "too many clients waiting", held.c_str());
        }
        event.socket->Reset();
        return;
      }
      clients_[event.id] = Client{std::move(event.socket), event.text, now, std::move(hold)};
      broker_.AddClient(event.id, now);
      return;
    }
    case Event::Type::kAwaitingType:
      broker_.AwaitingType(event.id, event.host);
      return;
    case Event::Type::kHandshakeEnded:
      broker_.HandshakeEnded(event.id, event.host, now);
      return;
    case Event::Type::kCommandUp:
      AddCommand(event, now);
      return;
    case Event::Type::kTransportUp:
      transports_[event.id] = Transport{std::move(event.socket), event.text};
      broker_.AddTransport(event.id, event.host, now);
      return;
    case Event::Type::kAnswer:
      broker_.Answer(event.id, event.word, now);
      return;
    case Event::Type::kCommandDown:
      // The clients it leaves are ended first, while their lines can still
      // name it. Gone already when this side ended it.
      broker_.CommandClosed(event.id, now);
      Execute();
      EndCommand(event.id, event.text);
      return;
  }
}

void Controller::Execute() {
  for (const BrokerAction& action : broker_.TakeActions()) Carry(action);
}

void Controller::AddCommand(Event& event, Clock::time_point now) {
  const ConnectionId id = event.id;
  auto outbox = std::make_shared<Outbox>(event.socket);
  Command& record = commands_[id];
  record.socket = std::move(event.socket);
  record.outbox = outbox;
  record.peer = event.text;
  record.since = now;
  // Words are two bytes: a small buffer lets a connector that reads nothing
  // show soon, and holds little for it.
  net::SetSendBuffer(record.socket->socket(), 4096);
  LogEvent("connector #%llu %s: command connection up", Number(id), record.peer.c_str());
  const ConnectionId replaced = connectors_.Admit(id, event.host);
  broker_.AddCommand(id, event.host, now);
  Execute();
  if (!threads_.Spawn("CMDOUT", [outbox] { outbox->Run(); })) {
    Drop(id, "no thread for its sends", now);
  }
  if (replaced != 0) {
    Drop(replaced,
         "replaced by connector #" + std::to_string(id) + " " + event.text + ": at most " +
             std::to_string(limits_.maxConnectors) + " command connections, the address holding the most gives way",
         now);
  }
}

void Controller::SendWord(ConnectionId command, uint16_t value) {
  const auto c = commands_.find(command);
  if (c == commands_.end()) return;
  // A word still waiting asks the connector for a sign of life already.
  if (value == relvo::wire::kPing && c->second.outbox->Busy()) return;
  if (!c->second.outbox->Queue(relvo::wire::Word(value))) {
    // The reader then reports the end, with this reason.
    c->second.ending = "more than " + std::to_string(Outbox::kMaxWaiting) + " bytes waiting for it";
    c->second.socket->Reset();
  }
}

void Controller::Drop(ConnectionId command, const std::string& how, Clock::time_point now) {
  broker_.CommandClosed(command, now);
  Execute();
  EndCommand(command, how);
}

void Controller::EndCommand(ConnectionId command, const std::string& how) {
  const auto c = commands_.find(command);
  if (c == commands_.end()) return;
  const Command& record = c->second;
  LogEvent("connector #%llu %s: command connection ended after %lld ms: %s; transports: %llu relayed, %llu refused, "
           "%llu failed",
           Number(command), record.peer.c_str(), MsSince(record.since),
           record.ending.empty() ? how.c_str() : record.ending.c_str(),
           static_cast<unsigned long long>(record.created), static_cast<unsigned long long>(record.refused),
           static_cast<unsigned long long>(record.failed));
  record.outbox->Close();
  record.socket->Reset();
  connectors_.Release(command);
  commands_.erase(c);
}

std::optional<Clock::time_point> Controller::CheckPeers(Clock::time_point now) {
  std::optional<Clock::time_point> next;
  auto consider = [&next](Clock::time_point t) {
    if (!next || t < *next) next = t;
  };
  std::vector<std::pair<ConnectionId, Clock::duration>> stalled;
  for (const auto& [id, command] : commands_) {
    const Clock::duration waited = command.outbox->StalledFor(now);
    if (waited >= stallLimit_) {
      stalled.emplace_back(id, waited);
    } else if (waited > Clock::duration::zero()) {
      consider(now + stallLimit_ - waited);
    }
  }
  for (const auto& [id, waited] : stalled) {
    Drop(id,
         "it took no byte for " +
             std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()) + " ms",
         now);
  }

  if (limits_.idleTimeout <= Clock::duration::zero() || sessions_.empty()) return next;
  if (now >= nextIdleCheck_) {
    sessions_.remove_if([](const std::weak_ptr<Session>& s) { return s.expired(); });
    const auto bound = std::chrono::duration_cast<std::chrono::milliseconds>(limits_.idleTimeout).count();
    for (const std::weak_ptr<Session>& weak : sessions_) {
      const std::shared_ptr<Session> session = weak.lock();
      if (session && session->IdleFor(now) >= limits_.idleTimeout) {
        session->End("no byte either way for " + std::to_string(bound) + " ms");
      }
    }
    // Checked a few times per time-out: a session ends at most a quarter
    // of it late.
    nextIdleCheck_ = now + std::clamp<Clock::duration>(limits_.idleTimeout / 4, std::chrono::milliseconds(10),
                                                       std::chrono::seconds(1));
  }
  consider(nextIdleCheck_);
  return next;
}

std::string Controller::CommandPeer(ConnectionId command) const {
  const auto c = commands_.find(command);
  return c == commands_.end() ? std::string("(gone)") : c->second.peer;
}

void Controller::Carry(const BrokerAction& action) {
  using Kind = BrokerAction::Kind;
  switch (action.kind) {
    case Kind::kSendCreate:
      SendWord(action.command, relvo::wire::kCreateTransport);
      return;
    case Kind::kSendPing:
      SendWord(action.command, relvo::wire::kPing);
      return;
    case Kind::kPair: {
      const auto client = clients_.find(action.client);
      const auto transport = transports_.find(action.transport);
      if (client == clients_.end() || transport == transports_.end()) return;
      const auto c = commands_.find(action.command);
      if (c != commands_.end()) ++c->second.created;
      SessionInfo info{action.client, client->second.peer, action.command, CommandPeer(action.command),
                       client->second.since, std::move(client->second.hold)};
      auto session = std::make_shared<Session>(std::move(info), client->second.socket, transport->second.socket);
      clients_.erase(client);
      transports_.erase(transport);
      sessions_.remove_if([](const std::weak_ptr<Session>& s) { return s.expired(); });
      sessions_.push_back(session);
      Session::Start(session, threads_);
      return;
    }
    case Kind::kCloseClient: {
      const auto client = clients_.find(action.client);
      if (client == clients_.end()) return;
      const auto c = commands_.find(action.command);
      if (c != commands_.end() && action.reason != EndReason::kStopping) {
        ++(action.reason == EndReason::kRefused ? c->second.refused : c->second.failed);
      }
      std::string via;
      if (action.command != 0) {
        via = " via connector #" + std::to_string(action.command) + " " + CommandPeer(action.command);
      }
      LogEvent("client #%llu %s%s: not relayed after %lld ms; %s", Number(action.client), client->second.peer.c_str(),
               via.c_str(), MsSince(client->second.since), EndReasonText(action.reason));
      client->second.socket->Reset();
      clients_.erase(client);
      return;
    }
    case Kind::kCloseTransport: {
      const auto transport = transports_.find(action.transport);
      if (transport == transports_.end()) return;
      LogEvent("transport connection #%llu %s closed: %s", Number(action.transport), transport->second.peer.c_str(),
               EndReasonText(action.reason));
      transport->second.socket->Reset();
      transports_.erase(transport);
      return;
    }
    case Kind::kCloseCommand:
      EndCommand(action.command, EndReasonText(action.reason));
      return;
  }
}

}  // namespace relvoproxy
