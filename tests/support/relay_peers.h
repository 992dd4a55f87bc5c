// End-to-end support: target servers on 127.0.0.1 for the connector to relay
// to. Each accepted connection gets an optional greeting at once and then,
// by the server's behaviour, an echo of everything it receives or silence.
// Everything received is recorded per connection
// (tests/support/recording_server.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tests/support/recording_server.h"
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

// What happened on one accepted connection (closedByServer: ended through
// RelayTarget::Close).
struct TargetConnection : ConnectionRecord {
  std::string received;  // every byte received, in order
};

class RelayTarget : public Recorder<TargetConnection> {
 public:
  // Listens on 127.0.0.1 with an ephemeral port. Throws std::runtime_error
  // when it cannot.
  explicit RelayTarget(TargetBehaviour behaviour = {});
  ~RelayTarget() override;  // stops listening, ends every connection, joins all threads

  bool WaitForReceived(size_t index, size_t count, std::chrono::milliseconds timeout = kDefaultWait) const;

 private:
  void Serve(Link& link) override;

  const TargetBehaviour behaviour_;
};

}  // namespace testsupport
