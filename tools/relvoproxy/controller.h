// The proxy's decisions. The controller owns the broker and every
// connection that is neither in its handshake nor in a relay session:
// waiting clients, command connections and transport connections not yet
// paired. The threads that accept and read connections post events here;
// they are fed to the broker in the order they were posted, and the
// broker's actions (commands, pings, pairing, closes) are carried out, with
// the log lines of connectors and of clients that were never relayed.
//
// One thread at a time is in charge of the broker. A thread that posts an
// event when none is in charge takes charge itself and handles the queue
// until it is empty, so that an event costs no hand-over to another
// thread; the controller's own thread takes charge for what is due by the
// clock (pings, deadlines) and for the stop. Lines written in charge carry
// the tag "CTL" whichever thread writes them.
//
// Posting order is what the broker's pairing relies on: a thread that posts
// AwaitingType before it sends an acceptance word, and a reader that posts
// an answer after receiving it, give the broker the true order of the two.
//
// No thread in charge ever waits on a peer: the words for a command
// connection go through its Outbox, sent by a thread of its own. A command
// connection whose words have not moved for the stall limit (twice the ping
// interval, at least a second) is ended, as is one beyond the most command
// connections (the oldest of the address that holds the most gives way). A
// relayed session in which no byte moved for the idle time-out is ended.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "Common/UniqueSocket.h"
#include "tools/relvoproxy/broker.h"
#include "tools/relvoproxy/fair_slots.h"
#include "tools/relvoproxy/log_throttle.h"
#include "tools/relvoproxy/outbox.h"
#include "tools/relvoproxy/session.h"
#include "tools/relvoproxy/thread_group.h"

namespace relvoproxy {

struct ControllerLimits {
  size_t maxConnectors = 64;           // command connections at once
  size_t maxClientsPerAddress = 256;   // clients from one address, waiting or relayed
  Clock::duration idleTimeout = std::chrono::minutes(10);  // zero: no bound
};

class Controller {
 public:
  // Most clients that may wait for a transport at one time; more are closed
  // at once.
  static constexpr size_t kMaxWaitingClients = 10000;

  // Relay sessions run on `threads`, which must outlive the sessions.
  Controller(BrokerSettings settings, ControllerLimits limits, ThreadGroup& threads);
  // REQUIRES: Stop has returned, or Start was never called.
  ~Controller();
  Controller(const Controller&) = delete;
  Controller& operator=(const Controller&) = delete;

  // Starts the thread. Throws std::system_error when the system refuses.
  void Start();

  // Events, from any thread. Each is false once a stop has begun: the event
  // was not taken, and a socket passed with it stays the caller's to close.
  // `peer` is "address:port"; `host` the address alone.
  bool ClientArrived(ConnectionId client, std::shared_ptr<libmo::UniqueSocket> socket, const std::string& host,
                     const std::string& peer);
  bool AwaitingType(ConnectionId connection, const std::string& host);
  bool HandshakeEnded(ConnectionId connection, const std::string& host);
  bool CommandUp(ConnectionId command, const std::string& host, const std::string& peer,
                 std::shared_ptr<libmo::UniqueSocket> socket);
  bool TransportUp(ConnectionId transport, const std::string& host, const std::string& peer,
                   std::shared_ptr<libmo::UniqueSocket> socket);
  bool AnswerWord(ConnectionId command, uint16_t word);
  // The reader of `command` saw its end; `how` says what it saw.
  bool CommandDown(ConnectionId command, const std::string& how);

  // Takes the events posted so far, then ends every connection and session
  // it owns and joins its thread. Idempotent.
  void Stop();

 private:
  struct Event {
    enum class Type { kClient, kAwaitingType, kHandshakeEnded, kCommandUp, kTransportUp, kAnswer, kCommandDown };
    Type type = Type::kClient;
    ConnectionId id = 0;
    std::string host;
    std::string text;  // peer, or how a command connection ended
    std::shared_ptr<libmo::UniqueSocket> socket;
    uint16_t word = 0;
  };
  struct Client {
    std::shared_ptr<libmo::UniqueSocket> socket;
    std::string peer;
    Clock::time_point since;
    std::shared_ptr<void> hold;  // its count among its address's clients
  };
  struct Transport {
    std::shared_ptr<libmo::UniqueSocket> socket;
    std::string peer;
  };
  struct Command {
    std::shared_ptr<libmo::UniqueSocket> socket;
    std::shared_ptr<Outbox> outbox;
    std::string peer;
    Clock::time_point since;
    std::string ending;  // why this side ended it, when it did
    uint64_t created = 0;
    uint64_t refused = 0;
    uint64_t failed = 0;
  };

  bool Post(Event event);
  void Run();
  // Handles the queue, then what is due, until the queue is empty; leaves
  // charge. REQUIRES: the caller took charge; `lock` holds mutex_.
  void HandleQueued(std::unique_lock<std::mutex>& lock) noexcept;
  void Handle(Event& event, Clock::time_point now);
  void Execute();
  void Carry(const BrokerAction& action);
  void AddCommand(Event& event, Clock::time_point now);
  void SendWord(ConnectionId command, uint16_t value);
  // Ends `command` from this side for `how`: its clients go back to the
  // queue. Not while the broker's actions are carried out.
  void Drop(ConnectionId command, const std::string& how, Clock::time_point now);
  void EndCommand(ConnectionId command, const std::string& how);
  // Ends the command connections whose words stopped and the sessions that
  // went idle; the next time this has something to do.
  std::optional<Clock::time_point> CheckPeers(Clock::time_point now);
  std::string CommandPeer(ConnectionId command) const;

  ThreadGroup& threads_;
  Broker broker_;  // touched by the thread in charge only
  const ControllerLimits limits_;
  const Clock::duration stallLimit_;
  FairSlots connectors_;      // touched by the thread in charge only
  AddressCounts clientCounts_;
  LogThrottle refusals_;

  std::mutex mutex_;
  std::condition_variable wake_;  // the controller's thread waits on it
  std::deque<Event> queue_;  // guarded by mutex_
  bool stopping_ = false;    // guarded by mutex_
  bool inCharge_ = false;    // a thread handles the broker; guarded by mutex_
  // The broker's next deadline as last left by the thread in charge, and
  // when the controller's thread wants to be woken (min: as soon as charge
  // is left); guarded by mutex_.
  std::optional<Clock::time_point> nextDeadline_;
  Clock::time_point wakeAt_ = Clock::time_point::max();
  std::thread thread_;

  // Touched by the thread in charge only.
  std::map<ConnectionId, Client> clients_;
  std::map<ConnectionId, Transport> transports_;
  std::map<ConnectionId, Command> commands_;
  std::list<std::weak_ptr<Session>> sessions_;
  Clock::time_point nextIdleCheck_ = Clock::time_point::min();
};

}  // namespace relvoproxy
