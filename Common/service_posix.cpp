// Service host on Linux, with systemd as the service manager.
//
// The Windows service host's steps, status values and messages are kept;
// what stands in for each Service Control Manager piece:
// - dispatcher: the NOTIFY_SOCKET that systemd hands a Type=notify service;
//   without it the process was not started by a service manager;
// - status reports: sd_notify datagrams (READY=1, STOPPING=1, STATUS=...);
// - control handler: SIGTERM is the stop control, SIGHUP the interrogate
//   control; console mode stops on SIGINT, SIGTERM or SIGHUP. The signals are
//   taken by sigwait on a dedicated thread (SignalThread);
// - service database: unit files in /etc/systemd/system, reloaded with
//   "systemctl daemon-reload" when systemctl is there.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "Common/assert.h"
#include "Common/fixed_text.h"
#include "Common/log.h"
#include "Common/os.h"
#include "Common/sd_notify_posix.h"
#include "Common/service.h"
#include "Common/service_host.h"
#include "Common/signal_thread_posix.h"
#include "Common/systemd_unit_posix.h"
#include "Common/unique_fd.h"

namespace libmo {
namespace {

using host::State;

constexpr const char* kSourceFile = "Common/service";

// The status channel to systemd. The last reported state is kept for the
// interrogate control; the mutex serialises reports between serviceMain and
// the signal thread.
struct StatusChannel {
  std::mutex mutex;
  sd::NotifySocket socket;
  State state = State::kStopped;
};

StatusChannel channel;

// Records the place and logs `message` with the current errno.
void LogFailure(const char* function, int line, const char* message) {
  SetErrorPlace(function, kSourceFile, line);
  LogOsError("%s", message);
}

// Service mode: the signal thread that stands in for the control handler.
class ServiceControls : public host::Controls {
 public:
  explicit ServiceControls(Service& service)
      : signals_({SIGTERM, SIGHUP}, [&service](int signal) {
          if (signal == SIGTERM) {
            host::ReportStatus(State::kStopPending, 1, 5000);
            service.stop();
            return;
          }
          State last;
          {
            std::lock_guard<std::mutex> lock(channel.mutex);
            last = channel.state;
          }
          host::ReportStatus(last, 0, 0);  // interrogate: the state is re-reported
        }) {}

 private:
  SignalThread signals_;
};

// Console mode: any of these signals asks the service to stop.
class ConsoleControls : public host::Controls {
 public:
  explicit ConsoleControls(Service& service)
      : signals_({SIGINT, SIGTERM, SIGHUP}, [&service](int) { service.stop(); }) {}

 private:
  SignalThread signals_;
};

// Writes the whole of `text` to the open file `fd`.
bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// A name that makes one file in the unit folder.
bool IsUnitName(const std::string& name) { return !name.empty() && name.find('/') == std::string::npos; }

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
  char cut[100];
  CopyTruncated(cut, description.c_str());
  if (!WriteAll(unit.Get(), systemd::UnitFileText(path, cut))) {
    const int error = errno;
    ::unlink(unitPath.c_str());
    errno = error;
    fail(300, "installService: CreateService failed");
  }
  unit.Reset();
  // The unit file is in place either way; systemd reads it at its next
  // reload when this one cannot be done.
  systemd::Systemctl({"daemon-reload"});
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
  const std::string unitName = name + ".service";
  const int rc = systemd::Systemctl({"is-active", "--quiet", unitName});
  if (rc < 0 && errno != ENOENT) fail(337, "QueryServiceStatus failed");
  if (rc == 0) {
    std::fputs("Stopping service...\n", stdout);
    std::fflush(stdout);
    const int stopped = systemd::Systemctl({"stop", "--no-block", unitName});
    if (stopped != 0) {
      if (stopped > 0) errno = EIO;  // systemctl refused; it has said why on stderr
      fail(344, "ControlService failed");
    }
    // One grace period; the unit is deleted whether it has stopped or not.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }

  if (::unlink(unitPath.c_str()) != 0) fail(353, "DeleteService failed");
  systemd::Systemctl({"daemon-reload"});
  LogEvent("Service uninstalled");
}

}  // namespace

namespace host {

bool RunDispatcher(Service& /*service*/, int argc, char** argv) {
  const char* address = std::getenv("NOTIFY_SOCKET");
  if (address == nullptr || *address == '\0') {
    errno = ENOTCONN;  // no service manager to connect to
    return false;
  }
  channel.socket = sd::NotifySocket::Open(address);
  RunServiceMain(argc, argv);
  return true;
}

// Built before the main thread, which inherits the signal mask.
std::unique_ptr<Controls> OpenControls(bool serviceMode, Service& service) {
  if (!serviceMode) return std::make_unique<ConsoleControls>(service);
  if (!channel.socket.Valid()) return nullptr;
  return std::make_unique<ServiceControls>(service);
}

bool ReportStatus(State state, uint32_t checkPoint, uint32_t waitHintMs, int exitCode) {
  std::lock_guard<std::mutex> lock(channel.mutex);
  channel.state = state;
  return channel.socket.Send(sd::NotifyText(state, checkPoint, waitHintMs, exitCode));
}

}  // namespace host

void installService(Service& service) { installService(service.getName(), service.getDescription()); }

void uninstallService(Service& service) { uninstallService(std::string(service.getName())); }

}  // namespace libmo
