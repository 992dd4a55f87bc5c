// Pairing of public clients with the transport connections that connectors
// open for them. A state machine without sockets, threads or clocks: the
// owner feeds it events with the current time and carries out the actions
// it returns.
//
// Pairing rules. A connector opens a transport connection from an ephemeral
// port after it has read a create-transport command (21 00), and answers
// the command (01 00 created, 00 00 not) only after that connection has
// finished its handshake or failed. Nothing on the transport connection
// names the command it belongs to, so the broker makes the match exact by
// ordering alone:
//  - The unit of pairing is the connector host, the peer address of the
//    command connection. A host has at most one request open at a time,
//    whichever of its command connections carries it; requests on one
//    command connection are answered strictly in order. Different hosts
//    work in parallel.
//  - Every connection from a host that passes the answer check gets a
//    sequence number before its acceptance word is sent (AwaitingType).
//    A request remembers the sequence number current when its command was
//    issued: only connections numbered from there on can be its transport,
//    since the connector cannot connect for a command it has not read.
//  - An answer can only follow the acceptance of its own transport, so the
//    answer closes the window: the transport is one of the connections
//    numbered before the answer arrived. After 01 00 the request waits
//    until that transport has said its type or until none of those
//    connections is left, bounded by the transport time-out.
//  - A request whose command connection ended, or whose answer did not come
//    in time, has no answer to close its window; its host then stays
//    reserved for one more time-out, and a transport that still comes is
//    closed, so it cannot be taken for a later request.
//  - A transport connection that fits no open request is stray and closed.
//  - The client of a request whose command connection ended, or whose answer
//    was wrong or did not come in time, goes back to the head of the queue
//    with a fresh wait, for another connector.
// Clients wait in one queue, oldest first; each free host takes the oldest
// client through its next command connection in round-robin order.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace relvoproxy {

using Clock = std::chrono::steady_clock;
using ConnectionId = uint64_t;

// Why the broker ends a connection.
enum class EndReason {
  kRefused,         // the connector answered 00 00
  kAnswerDeadline,  // no answer within the transport time-out
  kNoTransport,     // answer 01 00, but no transport connection arrived
  kNoConnector,     // no command connection took the client in time
  kStray,           // a transport connection no request was waiting for
  kUnused,          // the transport connection of a refused or abandoned request
  kBadAnswer,       // an answer word other than 00 00 or 01 00, or one nobody asked for
  kStopping,        // the proxy is stopping
};

// A short English description of `reason`.
const char* EndReasonText(EndReason reason);

struct BrokerAction {
  enum class Kind {
    kSendCreate,      // send 21 00 on `command`
    kSendPing,        // send 19 00 on `command`
    kPair,            // relay between `client` and `transport`; `command` answered 01 00 for them
    kCloseClient,     // end `client` for `reason`
    kCloseTransport,  // end `transport` for `reason`
    kCloseCommand,    // end `command` for `reason`
  };
  Kind kind = Kind::kSendPing;
  ConnectionId command = 0;
  ConnectionId client = 0;
  ConnectionId transport = 0;
  EndReason reason = EndReason::kStopping;

  bool operator==(const BrokerAction& other) const = default;
};

struct BrokerSettings {
  Clock::duration pingInterval = std::chrono::seconds(5);
  // Bounds the wait for an answer, for the transport after 01 00, the
  // reservation of a host after a lost answer and a client's wait in the
  // queue.
  Clock::duration transportTimeout = std::chrono::seconds(10);
};

// Not thread-safe: one owner thread calls everything. Identifiers are
// non-zero and unique across all connections; an event about an unknown one
// is ignored.
class Broker {
 public:
  explicit Broker(BrokerSettings settings) : settings_(settings) {}
  Broker(const Broker&) = delete;
  Broker& operator=(const Broker&) = delete;

  // A public client connected.
  void AddClient(ConnectionId client, Clock::time_point now);
  // A connection from `host` passed the answer check; its acceptance word
  // is about to be sent. REQUIRES: called before that send.
  void AwaitingType(ConnectionId connection, const std::string& host);
  // A connection announced with AwaitingType failed before its type word.
  void HandshakeEnded(ConnectionId connection, const std::string& host, Clock::time_point now);
  // A command connection from `host` finished its handshake.
  void AddCommand(ConnectionId command, const std::string& host, Clock::time_point now);
  // A transport connection from `host` finished its handshake.
  void AddTransport(ConnectionId transport, const std::string& host, Clock::time_point now);
  // The connector sent the 16-bit word `word` on `command`.
  void Answer(ConnectionId command, uint16_t word, Clock::time_point now);
  // `command` ended (closed by either side).
  void CommandClosed(ConnectionId command, Clock::time_point now);
  // Runs what is due at `now`: pings and deadlines.
  void Tick(Clock::time_point now);
  // Ends every client, transport and command connection it knows (kStopping).
  void StopAll();

  // The earliest time Tick has something to do; none when idle.
  std::optional<Clock::time_point> NextDeadline() const;
  // The actions produced since the last call, in order.
  std::vector<BrokerAction> TakeActions();

  // The first broken rule of the broker's own bookkeeping, or "" when every
  // rule holds (broker_invariants.cpp lists them). The fuzz harness checks
  // it after every event.
  std::string CheckInvariants() const;

  size_t WaitingClients() const { return waiting_.size(); }
  // True while `host` has a request open or reserved.
  bool HostBusy(const std::string& host) const;

 private:
  struct Command {
    std::string host;
    Clock::time_point nextPing;
  };
  struct Request {
    enum class State { kAwaitingAnswer, kAccepted, kOrphaned };
    State state = State::kAwaitingAnswer;
    ConnectionId command = 0;
    ConnectionId client = 0;     // 0 once the client was ended
    ConnectionId transport = 0;  // held until the answer
    uint64_t firstSeq = 0;       // transports numbered from here on may be this one's...
    uint64_t endSeq = UINT64_MAX;  // ...and before this, once the answer came
    Clock::time_point deadline;
  };
  struct Host {
    std::map<ConnectionId, uint64_t> pending;  // awaiting their type word
    std::optional<Request> open;
  };
  struct Waiting {
    ConnectionId client;
    Clock::time_point since;
  };

  void Emit(BrokerAction::Kind kind, ConnectionId command, ConnectionId client, ConnectionId transport,
            EndReason reason = EndReason::kStopping);
  void EndClient(Request& request, EndReason reason);
  void Release(const std::string& host);
  void Settle(const std::string& host);
  // Takes `command` out; the client of its request still awaiting the
  // answer goes back to the head of the queue with a fresh wait.
  void DropCommand(ConnectionId command, Clock::time_point now);
  void Dispatch(Clock::time_point now);
  void Expire(const std::string& host, Clock::time_point now);

  const BrokerSettings settings_;
  std::map<ConnectionId, Command> commands_;
  std::vector<ConnectionId> ring_;  // round-robin order
  size_t next_ = 0;                 // where the next search of ring_ starts
  std::map<std::string, Host> hosts_;
  std::deque<Waiting> waiting_;
  uint64_t seq_ = 0;
  std::vector<BrokerAction> actions_;
};

}  // namespace relvoproxy
