// The proxy server: a listener for connectors, a listener for public
// clients, the handshake and command reader of every connector connection,
// the controller and the relay sessions.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "Common/UniqueSocket.h"
#include "tools/relvoproxy/address_filter.h"
#include "tools/relvoproxy/challenge.h"
#include "tools/relvoproxy/controller.h"
#include "tools/relvoproxy/fair_slots.h"
#include "tools/relvoproxy/handshake.h"
#include "tools/relvoproxy/log_throttle.h"
#include "tools/relvoproxy/thread_group.h"

namespace relvoproxy {

struct Endpoint {
  std::string host = "127.0.0.1";
  uint16_t port = 0;  // 0: one the system picks
};

struct ServerSettings {
  Endpoint connectorListen;
  Endpoint publicListen;
  BrokerSettings broker;
  ControllerLimits limits;
  // Bounds the whole handshake of each connector connection, from its
  // accept: a peer that sends slowly cannot stretch it.
  Clock::duration handshakeTimeout = std::chrono::seconds(5);
  // Connector connections in their handshake at one time, and from one
  // address; a newcomer without room replaces the oldest handshake of the
  // address that holds the most (FairSlots).
  size_t maxHandshakes = 256;
  size_t maxHandshakesPerAddress = 16;
  // Where connectors may connect from; empty: anywhere.
  AddressFilter connectorAllow;
};

class Server {
 public:
  explicit Server(ServerSettings settings);
  // Stops.
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds both listeners and starts every thread. Throws std::runtime_error
  // (a listener cannot be made) or std::system_error (no thread); the
  // server is then stopped. REQUIRES: the socket library is started
  // (netutils::InitNet); called once.
  void Start();

  // The bound ports, once started.
  uint16_t ConnectorPort() const { return connectorPort_; }
  uint16_t PublicPort() const { return publicPort_; }

  // Ends every connection and joins every thread. Idempotent.
  void Stop();

 private:
  void AcceptLoop(bool connectors);
  // The handshake after its key (`key`; `keyFailure` when its send failed),
  // then the connection's own work.
  // `host` and `text` name the peer as Peer does.
  void RunConnector(ConnectionId id, std::shared_ptr<libmo::UniqueSocket> socket, const std::string& host,
                    const std::string& text, const std::string& key,
                    const std::optional<HandshakeResult>& keyFailure, Clock::time_point accepted);
  // Frees the handshake slot of `id`; true when it had given it up to a
  // newer connection (and was closed for it).
  bool EndHandshake(ConnectionId id);
  void ReadAnswers(ConnectionId id, const std::shared_ptr<libmo::UniqueSocket>& socket);
  void Untrack(ConnectionId id);
  // Waits `ms` or until a stop.
  void Pause(int ms);

  const ServerSettings settings_;
  KeySource keys_;
  ThreadGroup threads_;
  Controller controller_;
  std::shared_ptr<libmo::UniqueSocket> connectorListener_;
  std::shared_ptr<libmo::UniqueSocket> publicListener_;
  uint16_t connectorPort_ = 0;
  uint16_t publicPort_ = 0;
  std::atomic<ConnectionId> nextId_{1};
  LogThrottle connectorLines_;  // refusals and failed handshakes

  std::mutex mutex_;
  std::condition_variable stopped_;
  bool stopping_ = false;                                                // guarded by mutex_
  std::map<ConnectionId, std::shared_ptr<libmo::UniqueSocket>> tracked_;  // guarded by mutex_
  FairSlots handshakes_;              // guarded by mutex_
  std::set<ConnectionId> replaced_;  // handshakes that gave their slot up; guarded by mutex_
};

}  // namespace relvoproxy
