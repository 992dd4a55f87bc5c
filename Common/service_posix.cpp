// Service host on Linux, with systemd as the service manager.
//
// The Windows service host's sequence of steps, status values and messages
// are kept; what stands in for each Service Control Manager piece:
// - dispatcher: the NOTIFY_SOCKET that systemd hands a Type=notify service;
//   without it the process was not started by a service manager;
// - status handle and SetServiceStatus: a datagram socket aimed at
//   NOTIFY_SOCKET and sd_notify messages (READY=1, STOPPING=1, STATUS=...);
// - control handler: SIGTERM is the stop control, SIGHUP the interrogate
//   control; console mode stops on SIGINT, SIGTERM or SIGHUP. The signals are
//   taken by sigwait on a dedicated thread (SignalThread);
// - service database: unit files in /etc/systemd/system, reloaded with
//   "systemctl daemon-reload" when systemctl is on PATH.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Common/assert.h"
#include "Common/fixed_text.h"
#include "Common/log.h"
#include "Common/os.h"
#include "Common/sd_notify.h"
#include "Common/service.h"
#include "Common/signal_thread.h"
#include "Common/systemd_unit.h"
#include "Common/unique_fd.h"

namespace libmo {
namespace {

using sd::ServiceState;

// Stop, pause, continue and shutdown accepted, as the Windows value 7.
constexpr uint32_t kAcceptedControls = 7;
constexpr const char* kSourceFile = "Common/service";

// Control codes, numbered like SERVICE_CONTROL_STOP and _INTERROGATE. systemd
// stops services with SIGTERM at system shutdown as well, so there is no
// separate shutdown control.
constexpr uint32_t kControlStop = 1;
constexpr uint32_t kControlInterrogate = 4;

// The service host's process-wide state.
struct HostState {
  int runAsService = 0;
  Service* service = nullptr;
  char serviceName[40] = {};
  std::string notifyAddress;
  // Serialises the status record and its reports between serviceMain and
  // the control thread.
  std::mutex statusMutex;
  sd::NotifySocket statusHandle;
  sd::ServiceStatus status;
  std::thread mainThread;
  std::vector<std::string> args;
  std::vector<char*> argPointers;
  char description[100] = {};
};

HostState host;

bool InServiceMode() { return host.runAsService == 1; }

// Updates the status record and reports it. Returns false with errno set.
bool ReportStatus(ServiceState state, uint32_t controlsAccepted, int exitCode, uint32_t checkPoint, uint32_t waitHint) {
  std::lock_guard<std::mutex> lock(host.statusMutex);
  host.status.state = state;
  host.status.controlsAccepted = controlsAccepted;
  host.status.exitCode = exitCode;
  host.status.checkPoint = checkPoint;
  host.status.waitHintMs = waitHint;
  return host.statusHandle.Send(sd::NotifyText(host.status));
}

ServiceState LastReportedState() {
  std::lock_guard<std::mutex> lock(host.statusMutex);
  return host.status.state;
}

// Records the place and logs `message` with the errno that was current when
// the failing call returned.
void LogFailure(const char* function, int line, const char* message) {
  const int error = errno;
  SetErrorPlace(function, kSourceFile, line);
  errno = error;
  LogOsError("%s", message);
}

void serviceControlHandler(uint32_t control) {
  if (control == kControlStop) {
    ReportStatus(ServiceState::kStopPending, kAcceptedControls, 0, 1, 5000);
    host.service->stop();
    return;
  }
  // Interrogate: the state is re-reported.
  ReportStatus(LastReportedState(), kAcceptedControls, 0, 0, 0);
}

void serviceSignalHandler(int signal) { serviceControlHandler(signal == SIGTERM ? kControlStop : kControlInterrogate); }

void consoleSignalHandler(int /*signal*/) { host.service->stop(); }

// Reports the service stopped with the current errno as its exit code. No
// message is logged.
void FailServiceMain() {
  const int error = errno;
  if (host.statusHandle.Valid()) ReportStatus(ServiceState::kStopped, kAcceptedControls, error, 0, 0);
}

void serviceMain(int argc, char** argv) {
  host.args.clear();
  for (int i = 0; argv != nullptr && i < argc; ++i) host.args.emplace_back(argv[i] != nullptr ? argv[i] : "");
  host.argPointers.clear();
  for (std::string& arg : host.args) host.argPointers.push_back(arg.data());
  host.argPointers.push_back(nullptr);

  // Built before the main thread, which inherits its signal mask.
  std::optional<SignalThread> controls;
  if (InServiceMode()) {
    host.statusHandle = sd::NotifySocket::Open(host.notifyAddress);
    if (!host.statusHandle.Valid()) return FailServiceMain();
    controls.emplace(std::initializer_list<int>{SIGTERM, SIGHUP}, &serviceSignalHandler);
    if (!ReportStatus(ServiceState::kStartPending, 0, 0, 1, 5000)) return FailServiceMain();
    if (!ReportStatus(ServiceState::kStartPending, 0, 0, 2, 1000)) return FailServiceMain();
  } else {
    controls.emplace(std::initializer_list<int>{SIGINT, SIGTERM, SIGHUP}, &consoleSignalHandler);
  }

  const int runArgc = static_cast<int>(host.args.size());
  char** runArgv = runArgc > 0 ? host.argPointers.data() : nullptr;
  // Throws std::system_error when the thread cannot be created.
  host.mainThread = std::thread([runArgc, runArgv] { host.service->run(runArgc, runArgv); });

  if (InServiceMode() && !ReportStatus(ServiceState::kRunning, kAcceptedControls, 0, 0, 0)) {
    // The service is reported stopped and the process ends, so the running
    // main thread is left to it.
    host.mainThread.detach();
    return FailServiceMain();
  }
  LogEvent("Main thread started.");

  host.mainThread.join();
  LogEvent("Service stop asked, report service stopped...");
  if (InServiceMode() && host.statusHandle.Valid()) {
    ReportStatus(ServiceState::kStopped, kAcceptedControls, 0, 0, 0);
  }
  LogEvent("Service exited.");
}

// Replaces the whole content of the open file `fd` with `text`.
bool WriteWhole(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    done += static_cast<size_t>(n);
  }
  return ::ftruncate(fd, static_cast<off_t>(text.size())) == 0;
}

// A name that makes one file in the unit folder.
bool IsUnitName(const std::string& name) { return !name.empty() && name.find('/') == std::string::npos; }

void ReloadSystemd(const std::string& systemctl) {
  // The unit file is in place either way; systemd reads it at its next
  // reload when this one cannot be done.
  if (!systemctl.empty()) systemd::RunProgram(systemctl, {"daemon-reload"});
}

void installService(const std::string& name, const std::string& description) {
  constexpr const char* kFunction = "libmo::`anonymous-namespace'::installService";
  const std::string path = os::ModulePath();
  const auto fail = [&](int line, const char* message) {
    LogFailure(kFunction, line, message);
    throw std::runtime_error("Cannot install " + name + " " + description + " " + path);
  };

  if (::access(systemd::kUnitFolder, W_OK | X_OK) != 0) fail(282, "installService: OpenSCManager failed");

  if (!IsUnitName(name)) {
    errno = EINVAL;
    fail(300, "installService: CreateService failed");
  }
  // O_EXCL: an existing unit fails like an existing service (EEXIST).
  const std::string unitPath = systemd::UnitFilePath(name);
  UniqueFd unit(::open(unitPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!unit.Valid()) fail(300, "installService: CreateService failed");
  if (!WriteWhole(unit.Get(), systemd::UnitFileText(path, nullptr))) {
    const int error = errno;
    ::unlink(unitPath.c_str());
    errno = error;
    fail(300, "installService: CreateService failed");
  }

  CopyTruncated(host.description, description.c_str());
  if (!WriteWhole(unit.Get(), systemd::UnitFileText(path, host.description))) {
    fail(310, "installService: ChangeServiceConfig failed");
  }
  unit.Reset();

  ReloadSystemd(systemd::FindSystemctl());
  LogEvent("installService: service installed");
}

void uninstallService(const std::string& name) {
  constexpr const char* kFunction = "libmo::`anonymous-namespace'::uninstallService";
  const auto fail = [&](int line, const char* message) {
    LogFailure(kFunction, line, message);
    throw std::runtime_error("Cannot uninstall " + name);
  };

  if (::access(systemd::kUnitFolder, W_OK | X_OK) != 0) fail(325, "OpenSCManager failed");

  if (!IsUnitName(name)) {
    errno = EINVAL;
    fail(331, "OpenService failed");
  }
  const std::string unitPath = systemd::UnitFilePath(name);
  if (::access(unitPath.c_str(), F_OK) != 0) fail(331, "OpenService failed");

  // Without systemctl there is no service manager that could run the unit.
  const std::string systemctl = systemd::FindSystemctl();
  const std::string unitName = name + ".service";
  bool active = false;
  if (!systemctl.empty()) {
    const int rc = systemd::RunProgram(systemctl, {"is-active", "--quiet", unitName});
    if (rc < 0) fail(337, "QueryServiceStatus failed");
    active = rc == 0;
  }

  if (active) {
    std::fputs("Stopping service...\n", stdout);
    std::fflush(stdout);
    const int rc = systemd::RunProgram(systemctl, {"stop", "--no-block", unitName});
    if (rc != 0) {
      if (rc > 0) errno = EIO;  // systemctl refused; it has said why on stderr
      fail(344, "ControlService failed");
    }
    // One grace period; the unit is deleted whether it has stopped or not.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }

  if (::unlink(unitPath.c_str()) != 0) fail(353, "DeleteService failed");
  ReloadSystemd(systemctl);
  LogEvent("Service uninstalled");
}

}  // namespace

void startService(bool runAsService, Service& service, int argc, char** argv) {
  host.runAsService = runAsService ? 1 : 0;
  host.service = &service;
  CopyTruncated(host.serviceName, service.getName());

  if (InServiceMode()) {
    LogEvent("startService: run as service");
    const char* notifySocket = std::getenv("NOTIFY_SOCKET");
    if (notifySocket == nullptr || *notifySocket == '\0') {
      errno = ENOTCONN;  // no service manager to connect to
      LogFailure("libmo::Service::startService", 377, "startService: StartServiceCtrlDispatcher failed");
      return;
    }
    host.notifyAddress = notifySocket;
    serviceMain(argc, argv);
    return;
  }
  LogEvent("startService: run as debug");
  serviceMain(argc, argv);
}

void installService(Service& service) { installService(service.getName(), service.getDescription()); }

void uninstallService(Service& service) { uninstallService(std::string(service.getName())); }

}  // namespace libmo
