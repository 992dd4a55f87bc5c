// End-to-end support: target servers on 127.0.0.1 for the connector to relay
// to. Each accepted connection gets an optional greeting at once and then,
// by the server's behaviour, an echo of everything it receives or silence.
// Everything received is recorded per connection; the accessors copy the
// records under a lock, the waits are bounded, and a test can send on or
// close any connection from its own thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/support/text.h"  // PatternBytes, used with these peers

namespace testsupport {

// 64-bit FNV-1a of `bytes`, continued from `hash` (so that a stream can be
// hashed piece by piece); order-sensitive.
constexpr uint64_t kFnvOffset = 14695981039346656037ull;
uint64_t Fnv1a64(std::string_view bytes, uint64_t hash = kFnvOffset);

struct TargetBehaviour {
  std::string greeting;  // sent on every connection right after accept
  bool echo = true;      // send back every byte received
};

// What happened on one accepted connection.
struct TargetConnection {
  int index = -1;                 // accept order
  std::string received;           // every byte received, in order
  bool closedByPeer = false;      // the connector's side ended it
  bool closedByServer = false;    // ended through RelayTarget::Close
  bool closed = false;
  std::vector<std::string> failures;  // what went wrong on the target side
};

class RelayTarget {
 public:
  // Listens on 127.0.0.1 with an ephemeral port. Throws std::runtime_error
  // when it cannot.
  explicit RelayTarget(TargetBehaviour behaviour = {});
  ~RelayTarget();  // stops listening, ends every connection, joins all threads
  RelayTarget(const RelayTarget&) = delete;
  RelayTarget& operator=(const RelayTarget&) = delete;

  uint16_t port() const { return port_; }

  std::vector<TargetConnection> Connections() const;
  TargetConnection Connection(size_t index) const;  // empty record when absent
  size_t ConnectionCount() const;

  // Bounded waits; each returns the condition's last value.
  bool WaitUntil(const std::function<bool(const std::vector<TargetConnection>&)>& condition,
                 std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
  bool WaitForConnections(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
  bool WaitForReceived(size_t index, size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
  bool WaitForClosed(size_t index, std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;

  // Sends `bytes` on connection `index`; false when it is gone or not all
  // bytes went out within `timeout`.
  bool Send(size_t index, std::string_view bytes, std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
  // Closes connection `index` from the target side; false when it had
  // already ended.
  bool Close(size_t index);

 private:
  struct Shared;
  void AcceptLoop();

  std::unique_ptr<Shared> shared_;
  uint16_t port_ = 0;
  std::thread acceptor_;
};

}  // namespace testsupport
