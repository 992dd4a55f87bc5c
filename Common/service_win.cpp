// Service host on Windows: the Service Control Manager dispatcher, status
// reports, the service control and console handlers, and the registration
// and removal of the service.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Common/assert.h"
#include "Common/fixed_text.h"
#include "Common/log.h"
#include "Common/os.h"
#include "Common/service.h"
#include "Common/win_handles.h"

namespace libmo {
namespace {

// SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN.
constexpr DWORD kAcceptedControls = 7;
constexpr const char* kSourceFile = "Common/service";

// The service host's process-wide state. Written by startService and
// serviceMain; the status record is also written by the control handler,
// which the dispatcher runs on its own thread.
struct HostState {
  int runAsService = 0;
  Service* service = nullptr;
  char serviceName[40] = {};
  SERVICE_STATUS_HANDLE statusHandle = nullptr;
  SERVICE_STATUS status = {};
  std::thread mainThread;
  std::vector<std::string> args;
  std::vector<char*> argPointers;
  char description[100] = {};
  // Console mode: set by consoleCtrlHandler, taken by the ConsoleStopRelay.
  // Lives as long as the process, since the handler stays installed.
  std::optional<EventHandle> consoleStopRequest;
  // Service mode: serviceMain has been entered, and has returned.
  std::atomic<bool> serviceMainEntered{false};
  std::optional<EventHandle> serviceMainDone;
};

HostState host;

bool InServiceMode() { return host.runAsService == 1; }

// Updates the status record in place and reports it.
bool ReportStatus(DWORD state, DWORD controlsAccepted, DWORD win32ExitCode, DWORD checkPoint, DWORD waitHint) {
  host.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  host.status.dwCurrentState = state;
  host.status.dwControlsAccepted = controlsAccepted;
  host.status.dwWin32ExitCode = win32ExitCode;
  host.status.dwServiceSpecificExitCode = 0;
  host.status.dwCheckPoint = checkPoint;
  host.status.dwWaitHint = waitHint;
  return ::SetServiceStatus(host.statusHandle, &host.status) != FALSE;
}

// Records the place and logs `message` with the OS error that was current
// when the failing call returned.
void LogFailure(const char* function, int line, const char* message) {
  const DWORD error = ::GetLastError();
  SetErrorPlace(function, kSourceFile, line);
  ::SetLastError(error);
  LogOsError("%s", message);
}

void WINAPI serviceControlHandler(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      ReportStatus(SERVICE_STOP_PENDING, kAcceptedControls, NO_ERROR, 1, 5000);
      host.service->stop();
      break;
    case SERVICE_CONTROL_SHUTDOWN:
      // A system shutdown does not stop the connector.
      break;
    default:
      // Interrogate, pause, continue: nothing changes, the state is re-reported.
      ReportStatus(host.status.dwCurrentState, kAcceptedControls, NO_ERROR, 0, 0);
      break;
  }
}

// Runs on a short-lived thread that the console creates for the event (under
// Wine: for a SIGINT). The stop is handed to the ConsoleStopRelay instead of
// calling stop() here: the C++ runtime's locks and thread-local storage used
// on that foreign thread can deadlock its exit against the connector's
// threads ending at the same moment.
BOOL WINAPI consoleCtrlHandler(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      ::SetEvent(host.consoleStopRequest->get());
      return TRUE;
    default:
      return FALSE;
  }
}

// Console mode: calls the service object's stop() for every request that
// consoleCtrlHandler signals, on a thread of the C++ runtime, until it is
// destroyed. REQUIRES: host.consoleStopRequest exists.
class ConsoleStopRelay {
 public:
  ConsoleStopRelay() : quit_(/*manualReset=*/true), thread_([this] { Relay(); }) {}
  ~ConsoleStopRelay() {
    ::SetEvent(quit_.get());
    thread_.join();
  }
  ConsoleStopRelay(const ConsoleStopRelay&) = delete;
  ConsoleStopRelay& operator=(const ConsoleStopRelay&) = delete;

 private:
  void Relay() {
    const HANDLE handles[] = {quit_.get(), host.consoleStopRequest->get()};
    while (::WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) host.service->stop();
  }

  EventHandle quit_;
  std::thread thread_;
};

// Reports the service stopped with the last OS error as its exit code. No
// message is logged.
void FailServiceMain() {
  const DWORD error = ::GetLastError();
  if (host.statusHandle != nullptr) ReportStatus(SERVICE_STOPPED, kAcceptedControls, error, 0, 0);
}

// Sets serviceMainDone when serviceMain returns, whichever way.
struct ServiceMainScope {
  ServiceMainScope() { host.serviceMainEntered = true; }
  ~ServiceMainScope() {
    if (host.serviceMainDone) ::SetEvent(host.serviceMainDone->get());
  }
  ServiceMainScope(const ServiceMainScope&) = delete;
  ServiceMainScope& operator=(const ServiceMainScope&) = delete;
};

void WINAPI serviceMain(DWORD argc, LPSTR* argv) {
  const ServiceMainScope scope;
  host.args.clear();
  for (DWORD i = 0; argv != nullptr && i < argc; ++i) host.args.emplace_back(argv[i] != nullptr ? argv[i] : "");
  host.argPointers.clear();
  for (std::string& arg : host.args) host.argPointers.push_back(arg.data());
  host.argPointers.push_back(nullptr);

  std::optional<ConsoleStopRelay> consoleStops;
  if (InServiceMode()) {
    host.statusHandle = ::RegisterServiceCtrlHandlerA(host.service->getName(), serviceControlHandler);
    if (host.statusHandle == nullptr) return FailServiceMain();
    if (!ReportStatus(SERVICE_START_PENDING, 0, NO_ERROR, 1, 5000)) return FailServiceMain();
    if (!ReportStatus(SERVICE_START_PENDING, 0, NO_ERROR, 2, 1000)) return FailServiceMain();
  } else {
    if (!host.consoleStopRequest) host.consoleStopRequest.emplace(/*manualReset=*/false);
    consoleStops.emplace();
    ::SetConsoleCtrlHandler(consoleCtrlHandler, TRUE);
  }

  const int runArgc = static_cast<int>(host.args.size());
  char** runArgv = runArgc > 0 ? host.argPointers.data() : nullptr;
  // Throws std::system_error when the thread cannot be created.
  host.mainThread = std::thread([runArgc, runArgv] { host.service->run(runArgc, runArgv); });

  if (InServiceMode() && !ReportStatus(SERVICE_RUNNING, kAcceptedControls, NO_ERROR, 0, 0)) {
    // The service is reported stopped; the process ends with the dispatcher,
    // so the running main thread is left to it.
    host.mainThread.detach();
    return FailServiceMain();
  }
  LogEvent("Main thread started.");

  host.mainThread.join();
  LogEvent("Service stop asked, report service stopped...");
  if (InServiceMode() && host.statusHandle != nullptr) {
    ReportStatus(SERVICE_STOPPED, kAcceptedControls, NO_ERROR, 0, 0);
  }
  LogEvent("Service exited.");
}

void installService(const std::string& name, const std::string& description) {
  constexpr const char* kFunction = "libmo::`anonymous-namespace'::installService";
  const std::string path = os::ModulePath();
  const auto fail = [&](int line, const char* message) {
    LogFailure(kFunction, line, message);
    throw std::runtime_error("Cannot install " + name + " " + description + " " + path);
  };

  ScHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (!manager) fail(282, "installService: OpenSCManager failed");

  ScHandle service(::CreateServiceA(manager.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                    SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path.c_str(),
                                    nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service) fail(300, "installService: CreateService failed");

  CopyTruncated(host.description, description.c_str());
  SERVICE_DESCRIPTIONA info;
  info.lpDescription = host.description;
  if (!::ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, &info)) {
    fail(310, "installService: ChangeServiceConfig failed");
  }
  LogEvent("installService: service installed");
}

void uninstallService(const std::string& name) {
  constexpr const char* kFunction = "libmo::`anonymous-namespace'::uninstallService";
  const auto fail = [&](int line, const char* message) {
    LogFailure(kFunction, line, message);
    throw std::runtime_error("Cannot uninstall " + name);
  };

  ScHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (!manager) fail(325, "OpenSCManager failed");

  ScHandle service(::OpenServiceA(manager.get(), name.c_str(), SERVICE_ALL_ACCESS));
  if (!service) fail(331, "OpenService failed");

  SERVICE_STATUS status = {};
  if (!::QueryServiceStatus(service.get(), &status)) fail(337, "QueryServiceStatus failed");

  if (status.dwCurrentState != SERVICE_STOPPED) {
    std::fputs("Stopping service...\n", stdout);
    std::fflush(stdout);
    if (!::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) fail(344, "ControlService failed");
    // One grace period; the service is deleted whether it has stopped or not.
    ::Sleep(500);
  }

  if (!::DeleteService(service.get())) fail(353, "DeleteService failed");
  LogEvent("Service uninstalled");
}

}  // namespace

void startService(bool runAsService, Service& service, int argc, char** argv) {
  host.runAsService = runAsService ? 1 : 0;
  host.service = &service;
  CopyTruncated(host.serviceName, service.getName());
  SERVICE_TABLE_ENTRYA dispatchTable[] = {{host.serviceName, serviceMain}, {nullptr, nullptr}};

  if (InServiceMode()) {
    LogEvent("startService: run as service");
    host.serviceMainDone.emplace(/*manualReset=*/true);
    // Blocks until the service has stopped.
    if (!::StartServiceCtrlDispatcherA(dispatchTable)) {
      LogFailure("libmo::Service::startService", 377, "startService: StartServiceCtrlDispatcher failed");
      return;
    }
    // The dispatcher returns as soon as SERVICE_STOPPED is reported; the
    // process must not end before serviceMain has finished after that report.
    if (host.serviceMainEntered) ::WaitForSingleObject(host.serviceMainDone->get(), INFINITE);
    return;
  }
  LogEvent("startService: run as debug");
  serviceMain(static_cast<DWORD>(argc), argv);
}

void installService(Service& service) { installService(service.getName(), service.getDescription()); }

void uninstallService(Service& service) { uninstallService(std::string(service.getName())); }

}  // namespace libmo
