// The reconnect thread ("RCON"): makes the first command connection, then
// replaces it whenever no command has arrived for longer than the reconnect
// time-out. Its end, for any reason, stops the connector.
#pragma once

#include <cstdint>

#include "Common/CommonThread.h"

namespace relvo {

// Whether a silence of `silenceMs` (now minus the last command's time; may
// be negative when a command came in between) calls for a new connection.
bool SilenceExceeds(int64_t silenceMs, uint32_t timeoutMs);

class CommandReconnectThread : public libmo::Thread {
 protected:
  void body() override;
  void onStart() override;
  void onFinish() override;

 private:
  // Tries CommandConnect at once and then every second until it succeeds
  // or a stop is requested.
  void ConnectLoop();
};

}  // namespace relvo
