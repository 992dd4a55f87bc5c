#include "client/CommandReconnectThread.h"

#include <cstdint>
#include <memory>

#include "Common/log.h"
#include "client/ProxyServer.h"
#include "client/connector.h"

namespace relvo {

bool SilenceExceeds(int64_t silenceMs, uint32_t timeoutMs) {
  // A command that arrives between the two clock readings gives a negative
  // silence: the link is alive.
  return silenceMs > 0 && static_cast<uint64_t>(silenceMs) > timeoutMs;
}

void CommandReconnectThread::onStart() {
  Thread::onStart();
  LogEvent("Starting command reconnect thread.");
}

void CommandReconnectThread::onFinish() {
  LogEvent("Command reconnect thread stopped.");
  Globals().stopEvent.Set();
}

void CommandReconnectThread::ConnectLoop() {
  while (!IsStopping()) {
    const std::shared_ptr<ProxyServer> proxy = Globals().proxyServer;
    if (proxy) {
      proxy->SetHandshakeTimeout(Globals().config.reconnectTimeout.load());
      if (proxy->CommandConnect()) return;
    }
    sleep(1000);
  }
}

void CommandReconnectThread::body() {
  ConnectLoop();
  while (!IsStopping()) {
    const std::shared_ptr<ProxyServer> proxy = Globals().proxyServer;
    if (proxy) {
      const int64_t silence = (SteadyNowNs() - proxy->LastCommandTime()) / 1000000;
      if (SilenceExceeds(silence, Globals().config.reconnectTimeout.load())) {
        LogEvent("Reconnect: timeout %d ms.", static_cast<int>(silence));
        ConnectLoop();
      }
    }
    sleep(3000);
  }
}

}  // namespace relvo
