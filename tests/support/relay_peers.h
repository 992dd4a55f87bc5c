// End-to-end support: target servers on 127.0.0.1 for the connector to relay to. Each accepted connection gets an
// optional greeting at once and then, by the server's behaviour, an echo of everything it receives or silence.
// Everything received is recorded per connection (closedByServer: ended through Close;
// tests/support/recording_server.h).
#pragma once

#include <cstdint>
#include <string>

#include "tests/support/recording_server.h"
#include "tests/support/text.h"  // PatternBytes, used with these peers

namespace testsupport {

struct TargetBehaviour {
  std::string greeting;  // sent on every connection right after accept
  bool echo = true;      // send back every byte received
};

class RelayTarget : public Recorder<ConnectionRecord> {
 public:
  // Listens on 127.0.0.1 with an ephemeral port. Throws std::runtime_error when it cannot.
  explicit RelayTarget(TargetBehaviour behaviour = {});
  ~RelayTarget() override;  // stops listening, ends every connection, joins all threads

  bool WaitForReceived(size_t index, size_t count, std::chrono::milliseconds timeout = kDefaultWait) const;

 private:
  void Serve(Link& link) override;

  const TargetBehaviour behaviour_;
};

}  // namespace testsupport
