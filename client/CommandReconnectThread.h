// The reconnect thread ("RCON"): makes the first command connection, then
// replaces it whenever no command has arrived for longer than the reconnect
// time-out. Its end, for any reason, stops the connector.
#pragma once

#include "Common/CommonThread.h"

namespace relvo {

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
