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
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Common/assert.h"
#include "Common/fixed_text.h"
#include "Common/log.h"
#include "Common/os.h"
#include "Common/service.h"
#include "Common/service_host.h"
#include "Common/signal_thread_posix.h"
#include "Common/unique_fd_posix.h"

extern char** environ;

namespace libmo {
namespace {

using host::State;

constexpr const char* kSourceFile = "Common/service";

// Where units installed by the administrator live.
constexpr const char* kUnitFolder = "/etc/systemd/system";

// The status channel to systemd: datagrams of newline-separated VAR=VALUE
// assignments sent to the socket named by NOTIFY_SOCKET. The last reported
// state is kept for the interrogate control; the mutex serialises reports
// between serviceMain and the signal thread.
struct StatusChannel {
  std::mutex mutex;
  UniqueFd socket;
  sockaddr_un address = {};
  socklen_t addressLength = 0;
  State state = State::kStopped;
};

StatusChannel channel;

// Aims the channel at `address`: an absolute path, or '@' and the name of a
// socket in the abstract namespace. False for any other or too long a name.
bool OpenChannel(const std::string& address) {
  const bool abstract = address[0] == '@';
  // A path needs its terminating zero; an abstract name is its bytes alone.
  const size_t length = address.size() + (abstract ? 0 : 1);
  if ((!abstract && address[0] != '/') || length > sizeof channel.address.sun_path) return false;
  channel.address.sun_family = AF_UNIX;
  std::memcpy(channel.address.sun_path, address.data(), address.size());
  if (abstract) channel.address.sun_path[0] = '\0';
  channel.addressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  channel.socket.Reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  return channel.socket.Valid();
}

// The notification for a status: "READY=1" for running, "STOPPING=1" for
// stop pending, always a "STATUS=" line, "EXTEND_TIMEOUT_USEC=" for a wait
// hint and "ERRNO=" for an exit code. A stop with the service's own exit
// code names it in the status text (the process exits with it).
std::string NotifyText(State state, uint32_t checkPoint, uint32_t waitHintMs, int exitCode, uint32_t serviceExitCode) {
  const std::string point = " (check point " + std::to_string(checkPoint) + ")";
  std::string text = state == State::kStartPending  ? "STATUS=Service start pending" + point
                     : state == State::kRunning     ? "READY=1\nSTATUS=Service running"
                     : state == State::kStopPending ? "STOPPING=1\nSTATUS=Service stop pending" + point
                                                    : "STATUS=Service stopped";
  if (serviceExitCode != 0) text += " (service-specific exit code " + std::to_string(serviceExitCode) + ")";
  if (waitHintMs != 0) text += "\nEXTEND_TIMEOUT_USEC=" + std::to_string(uint64_t{waitHintMs} * 1000);
  if (exitCode != 0) text += "\nERRNO=" + std::to_string(exitCode);
  return text;
}

// '%' starts a specifier in every unit setting.
std::string EscapeSpecifiers(const std::string& text) {
  std::string result;
  for (const char c : text) result += c == '%' ? "%%" : std::string(1, c);
  return result;
}

// One word of a unit setting: quoted when it holds blanks, quotes or
// backslashes.
std::string UnitWord(const std::string& text) {
  std::string word = EscapeSpecifiers(text);
  if (word.find_first_of(" \t\"'\\") == std::string::npos) return word;
  std::string quoted = "\"";
  for (const char c : word) quoted += (c == '"' || c == '\\') ? std::string{'\\', c} : std::string(1, c);
  return quoted + '"';
}

// The unit of a notify-type service that runs `executable` without
// arguments. It can be enabled to start at boot, is restarted when it fails
// (at most 5 starts in 10 minutes, then it stays failed), and runs with
// the system's folders read-only except `logFolders`, which must be
// absolute (a missing one is left out).
std::string UnitFileText(const std::string& executable, std::string description,
                         const std::vector<std::string>& logFolders) {
  std::replace(description.begin(), description.end(), '\n', ' ');
  std::replace(description.begin(), description.end(), '\r', ' ');
  std::string writable;
  for (const std::string& folder : logFolders) writable += " " + UnitWord("-" + folder);
  return "[Unit]\nDescription=" + EscapeSpecifiers(description) +
         "\nWants=network-online.target\nAfter=network-online.target\nStartLimitIntervalSec=600\n"
         "StartLimitBurst=5\n\n[Service]\nType=notify\nExecStart=" + UnitWord(executable) +
         "\nRestart=on-failure\nRestartSec=5\n"
         "NoNewPrivileges=yes\nPrivateTmp=yes\nPrivateDevices=yes\nProtectSystem=full\nProtectHome=read-only\n"
         "ProtectKernelTunables=yes\nProtectKernelModules=yes\nProtectKernelLogs=yes\nProtectControlGroups=yes\n"
         "ProtectClock=yes\nProtectHostname=yes\nRestrictNamespaces=yes\nRestrictRealtime=yes\n"
         "RestrictSUIDSGID=yes\nLockPersonality=yes\nSystemCallArchitectures=native\n"
         "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK\nReadWritePaths=" + writable.substr(1) +
         "\n\n[Install]\nWantedBy=multi-user.target\n";
}

// The absolute folders of the two logs, each once; made when missing, so
// that the unit can name them.
std::vector<std::string> LogFolders() {
  std::string events;
  std::string errors;
  LogPaths(events, errors);
  std::vector<std::string> folders;
  for (const std::string& log : {events, errors}) {
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::absolute(log, ec).parent_path().lexically_normal();
    std::filesystem::create_directories(folder, ec);
    if (std::find(folders.begin(), folders.end(), folder.string()) == folders.end()) folders.push_back(folder);
  }
  return folders;
}

// Runs "systemctl <args>", found on PATH, and waits for it. Returns its exit
// status, or -1 with errno set when it cannot be started (ENOENT: there is
// no systemctl) or ends by a signal (EINTR).
int Systemctl(std::vector<std::string> args) {
  args.insert(args.begin(), "systemctl");
  std::vector<char*> argv;
  for (std::string& word : args) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = ::posix_spawnp(&pid, "systemctl", nullptr, nullptr, argv.data(), environ);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  errno = EINTR;
  return -1;
}

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

  if (::access(kUnitFolder, W_OK | X_OK) != 0) fail(282, "installService: OpenSCManager failed");
  if (!IsUnitName(name)) {
    errno = EINVAL;
    fail(300, "installService: CreateService failed");
  }
  // O_EXCL: an existing unit fails like an existing service (EEXIST).
  const std::string unitPath = std::string(kUnitFolder) + "/" + name + ".service";
  UniqueFd unit(::open(unitPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!unit.Valid()) fail(300, "installService: CreateService failed");
  char cut[100];
  CopyTruncated(cut, description.c_str());
  if (!WriteAll(unit.Get(), UnitFileText(path, cut, LogFolders()))) {
    const int error = errno;
    ::unlink(unitPath.c_str());
    errno = error;
    fail(300, "installService: CreateService failed");
  }
  unit.Reset();
  // The unit file is in place either way; systemd reads it at its next
  // reload when this one cannot be done.
  Systemctl({"daemon-reload"});
  LogEvent("installService: service installed");
}

void uninstallService(const std::string& name) {
  constexpr const char* kFunction = "libmo::`anonymous-namespace'::uninstallService";
  const auto fail = [&](int line, const char* message) {
    LogFailure(kFunction, line, message);
    throw std::runtime_error("Cannot uninstall " + name);
  };

  if (::access(kUnitFolder, W_OK | X_OK) != 0) fail(325, "OpenSCManager failed");
  if (!IsUnitName(name)) {
    errno = EINVAL;
    fail(331, "OpenService failed");
  }
  const std::string unitPath = std::string(kUnitFolder) + "/" + name + ".service";
  if (::access(unitPath.c_str(), F_OK) != 0) fail(331, "OpenService failed");

  // Without systemctl there is no service manager that could run the unit.
  const std::string unitName = name + ".service";
  const int rc = Systemctl({"is-active", "--quiet", unitName});
  if (rc < 0 && errno != ENOENT) fail(337, "QueryServiceStatus failed");
  if (rc == 0) {
    std::fputs("Stopping service...\n", stdout);
    std::fflush(stdout);
    const int stopped = Systemctl({"stop", "--no-block", unitName});
    if (stopped != 0) {
      if (stopped > 0) errno = EIO;  // systemctl refused; it has said why on stderr
      fail(344, "ControlService failed");
    }
    // One grace period; the unit is deleted whether it has stopped or not.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }

  if (::unlink(unitPath.c_str()) != 0) fail(353, "DeleteService failed");
  // The link "systemctl enable" made would be left dangling.
  ::unlink((std::string(kUnitFolder) + "/multi-user.target.wants/" + unitName).c_str());
  Systemctl({"daemon-reload"});
  LogEvent("Service uninstalled");
}

}  // namespace

namespace host {

bool RunDispatcher(Service& /*service*/, int argc, char** argv, int* exitCode) {
  const char* address = std::getenv("NOTIFY_SOCKET");
  if (address == nullptr || *address == '\0') {
    errno = ENOTCONN;  // no service manager to connect to
    return false;
  }
  OpenChannel(address);  // when it fails, OpenControls ends the start
  *exitCode = RunServiceMain(argc, argv);
  return true;
}

// Built before the main thread, which inherits the signal mask.
std::unique_ptr<Controls> OpenControls(bool serviceMode, Service& service) {
  if (!serviceMode) return std::make_unique<ConsoleControls>(service);
  if (!channel.socket.Valid()) return nullptr;
  return std::make_unique<ServiceControls>(service);
}

bool ReportStatus(State state, uint32_t checkPoint, uint32_t waitHintMs, int exitCode, uint32_t serviceExitCode) {
  std::lock_guard<std::mutex> lock(channel.mutex);
  channel.state = state;
  const std::string text = NotifyText(state, checkPoint, waitHintMs, exitCode, serviceExitCode);
  ssize_t sent;
  do {
    sent = ::sendto(channel.socket.Get(), text.data(), text.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&channel.address), channel.addressLength);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(text.size());
}

}  // namespace host

void installService(Service& service) { installService(service.getName(), service.getDescription()); }

void uninstallService(Service& service) { uninstallService(std::string(service.getName())); }

}  // namespace libmo
