// The service host's skeleton, the same on every platform: the mode, the
// copy of the arguments, the connector's main thread, the status sequence
// and the log lines. What differs (the service manager, the controls, the
// status channel) is behind Common/service_host.h.
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Common/assert.h"
#include "Common/log.h"
#include "Common/oserror.h"
#include "Common/service.h"
#include "Common/service_host.h"

namespace libmo {
namespace {

// The service host's process-wide state.
struct HostState {
  bool runAsService = false;
  Service* service = nullptr;
  std::thread mainThread;
  std::vector<std::string> args;
  std::vector<char*> argPointers;
};

HostState state;

}  // namespace

namespace host {

int RunServiceMain(int argc, char** argv) {
  state.args.clear();
  for (int i = 0; argv != nullptr && i < argc; ++i) state.args.emplace_back(argv[i] != nullptr ? argv[i] : "");
  state.argPointers.clear();
  for (std::string& arg : state.args) state.argPointers.push_back(arg.data());
  state.argPointers.push_back(nullptr);

  // With a connection to the service manager, a failure is reported as the
  // stopped state with the OS error as exit code; no message is logged.
  const auto fail = [] {
    ReportStatus(State::kStopped, 0, 0, LastOsError());
    return 0;
  };
  const std::unique_ptr<Controls> controls = OpenControls(state.runAsService, *state.service);
  if (!controls) return 0;
  if (state.runAsService) {
    if (!ReportStatus(State::kStartPending, 1, 5000)) return fail();
    if (!ReportStatus(State::kStartPending, 2, 1000)) return fail();
  }

  const int runArgc = static_cast<int>(state.args.size());
  char** runArgv = runArgc > 0 ? state.argPointers.data() : nullptr;
  // Throws std::system_error when the thread cannot be created. The code is
  // read after the join.
  int exitCode = 0;
  state.mainThread = std::thread([runArgc, runArgv, &exitCode] { exitCode = state.service->run(runArgc, runArgv); });

  if (state.runAsService && !ReportStatus(State::kRunning, 0, 0)) {
    // The service is reported stopped and the process ends with the host, so
    // the running main thread is left to it.
    state.mainThread.detach();
    return fail();
  }
  LogEvent("Main thread started.");

  state.mainThread.join();
  LogEvent("Service stop asked, report service stopped...");
  // A service that could not run, or stopped by itself, is reported as failed
  // so that the manager's restart rules apply.
  if (state.runAsService) ReportStatus(State::kStopped, 0, 0, 0, static_cast<uint32_t>(exitCode));
  LogEvent("Service exited.");
  return exitCode;
}

}  // namespace host

int startService(bool runAsService, Service& service, int argc, char** argv) {
  state.runAsService = runAsService;
  state.service = &service;
  if (!runAsService) {
    LogEvent("startService: run as debug");
    return host::RunServiceMain(argc, argv);
  }
  LogEvent("startService: run as service");
  int exitCode = 0;
  if (!host::RunDispatcher(service, argc, argv, &exitCode)) {
    SetErrorPlace("libmo::Service::startService", "Common/service", 377);
    LogOsError("%s", "startService: StartServiceCtrlDispatcher failed");
  }
  return exitCode;
}

}  // namespace libmo
