// The connector's process-wide objects and its run / stop entry points.
#pragma once

#include <atomic>
#include <memory>
#include <system_error>

#include "Common/relvo/CompletionThread.h"
#include "Common/relvo/OnlineUsers.h"
#include "client/CommandReconnectThread.h"
#include "client/ProxyServer.h"
#include "client/event.h"
#include "client/rv_config.h"

namespace relvo {

// Built during static initialisation (in this member order), destroyed after
// main returns. No thread runs before ServiceStart.
struct ConnectorGlobals {
  ConnectorGlobals();
  ~ConnectorGlobals();
  ConnectorGlobals(const ConnectorGlobals&) = delete;
  ConnectorGlobals& operator=(const ConnectorGlobals&) = delete;

  AppConfiguration config;
  CompletionThread completionThread;
  OnlineUsers onlineUsers;
  Event stopEvent{/*manualReset=*/true};
  // Written by the constructor and by the stop sequence only, after every
  // thread that reads it has been joined.
  std::shared_ptr<ProxyServer> proxyServer;
  CommandReconnectThread reconnectThread;
  // What LogInit returned; set by main before the connector starts.
  std::error_code logInitError;
  // Set by RequestStop: a stop that was asked for, not a worker that ended.
  std::atomic<bool> stopRequested{false};
};

// The connector's exit codes (and, on Windows, its service-specific exit
// codes): a start that failed (settings, logs, threads), and a stop that
// nobody asked for (the reconnect or the completion thread ended).
constexpr int kExitStartFailed = 2;
constexpr int kExitWorkerEnded = 3;

ConnectorGlobals& Globals();

// Runs the connector until the stop event is set, then stops it. The
// arguments are the service start parameters and are not used. Returns 0
// after a requested stop, otherwise kExitStartFailed or kExitWorkerEnded
// (the cause is logged and written to standard error).
int ServiceStart(int argc, char** argv);

// The stop callable: logs "service stop requested." and sets the stop event.
// Safe to call from any thread.
void RequestStop();

}  // namespace relvo
