#include "client/connector.h"

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>

#include "Common/assert.h"
#include "Common/log.h"
#include "Common/netUtils.h"
#include "client/version.h"
#include "crash/translator.h"

namespace relvo {
namespace {

ConnectorGlobals globals;

void ConfiguredLogFiles(std::string& eventsLog, std::string& errorsLog) {
  globals.config.GetLogFiles(eventsLog, errorsLog);
  uint64_t maxBytes = 0;
  unsigned keep = 0;
  globals.config.GetLogRotation(maxBytes, keep);
  libmo::EventsLog().SetRotation(maxBytes, keep);
  libmo::ErrorsLog().SetRotation(maxBytes, keep);
}

// The cause of a failed start or an unasked stop, on standard error (the
// journal under systemd) besides the logs.
void ReportToStderr(const char* what) {
  std::fprintf(stderr, "relvoclient: %s\n", what);
  std::fflush(stderr);
}

void StartConnector() {
  LogEvent("Launching the relvoclient (" RELVO_VERSION_TEXT ").");
  if (globals.logInitError) {
    std::string events;
    std::string errors;
    libmo::LogPaths(events, errors);
    throw std::runtime_error("Cannot open the log file '" + events + "': " + globals.logInitError.message());
  }
  tezra::se::InstallThreadTranslator();
  tezra::se::InstallUnhandledExceptionFilter();
  libmo::SetThreadPreparer(&tezra::se::InstallThreadTranslator);
  globals.config.LoadServersConfiguration(false);
  globals.config.StartListeningChanges();
  if (!globals.completionThread.Start("FIN")) {
    SetErrorPlace("CompletionThread::Start", "Common/relvo/CompletionThread", 37);
    ThrowSocketError("Failed to start CompletionThread.");
  }
  if (!globals.reconnectThread.Start("RCON")) {
    SetErrorPlace("CommandReconnectThread::Start", "CommandReconnectThread", 9);
    ThrowSocketError("Failed to start CommandReconnectThread.");
  }
  globals.stopEvent.Wait();
}

void StopConnector() {
  LogEvent("Service stopping...");
  globals.reconnectThread.Stop();
  if (globals.proxyServer) globals.proxyServer->StopConnecting();
  globals.reconnectThread.Join();
  LogEvent("Stop listening ini changes ...");
  globals.config.StopChangeControl();
  if (globals.proxyServer) globals.proxyServer->StopCommandReader();
  globals.completionThread.CompleteAll();
  globals.completionThread.Stop();
  globals.completionThread.Wake();
  globals.completionThread.Join();
  globals.proxyServer.reset();
  globals.onlineUsers.Clear();
}

}  // namespace

ConnectorGlobals::ConnectorGlobals()
    : completionThread([this] { stopEvent.Set(); }), onlineUsers(&completionThread) {
  completionThread.SetOnlineUsers(&onlineUsers);
  config.SetOnlineUsers(&onlineUsers);
  libmo::SetLogPathSource(&ConfiguredLogFiles);
  netutils::InitNet();
  proxyServer = std::make_shared<ProxyServer>();
  config.SetProxyServer(proxyServer);
}

ConnectorGlobals::~ConnectorGlobals() {
  netutils::CleanupNet();
  libmo::SetLogPathSource(nullptr);
}

ConnectorGlobals& Globals() { return globals; }

void RequestStop() {
  LogEvent("service stop requested.");
  globals.stopRequested = true;
  globals.stopEvent.Set();
}

int ServiceStart(int /*argc*/, char** /*argv*/) {
  int exitCode = 0;
  try {
    StartConnector();
    if (!globals.stopRequested) {
      exitCode = kExitWorkerEnded;
      LogError("%s", "The connector stopped without a stop request.");
      ReportToStderr("stopped without a stop request; see errors.log");
    }
  } catch (const std::exception& e) {
    exitCode = kExitStartFailed;
    LogError("%s", e.what());
    ReportToStderr((std::string("cannot start: ") + e.what()).c_str());
  } catch (...) {
    exitCode = kExitStartFailed;
    libmo::Detail::AssertFailNoExceptionImpl("ServiceStart", "RelvoClient", 60);
    ReportToStderr("cannot start; see errors.log");
  }

  try {
    StopConnector();
  } catch (...) {
    libmo::Detail::AssertFailNoExceptionImpl("ServiceStart", "RelvoClient", 77);
  }
  return exitCode;
}

}  // namespace relvo
