// Service host on Windows: the Service Control Manager dispatcher, status
// reports, the service control and console handlers, and the registration
// and removal of the service.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "Common/assert.h"
#include "Common/fixed_text.h"
#include "Common/log.h"
#include "Common/os.h"
#include "Common/service.h"
#include "Common/service_host.h"
#include "Common/win_handles.h"

namespace libmo {
namespace {

// SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN.
constexpr DWORD kAcceptedControls = 7;
constexpr const char* kSourceFile = "Common/service";

// The Windows side of the host's state. The status record is written by
// serviceMain and by the control handler, which the dispatcher runs on its
// own thread.
struct WinHostState {
  Service* service = nullptr;
  int exitCode = 0;  // serviceMain's result, read after serviceMainDone
  char serviceName[40] = {};
  SERVICE_STATUS_HANDLE statusHandle = nullptr;
  SERVICE_STATUS status = {};
  char description[100] = {};
  // Console mode: set by consoleCtrlHandler, taken by the ConsoleStopRelay.
  // Lives as long as the process, since the handler stays installed.
  std::optional<EventHandle> consoleStopRequest;
  // Service mode: serviceMain has been entered, and has returned.
  std::atomic<bool> serviceMainEntered{false};
  std::optional<EventHandle> serviceMainDone;
};

WinHostState win;

// A non-zero `serviceExitCode` is reported as ERROR_SERVICE_SPECIFIC_ERROR
// with that code.
bool SetStatus(DWORD state, DWORD controlsAccepted, DWORD win32ExitCode, DWORD checkPoint, DWORD waitHint,
               DWORD serviceExitCode = 0) {
  win.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  win.status.dwCurrentState = state;
  win.status.dwControlsAccepted = controlsAccepted;
  win.status.dwWin32ExitCode = serviceExitCode != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : win32ExitCode;
  win.status.dwServiceSpecificExitCode = serviceExitCode;
  win.status.dwCheckPoint = checkPoint;
  win.status.dwWaitHint = waitHint;
  return ::SetServiceStatus(win.statusHandle, &win.status) != FALSE;
}

// Records the place and logs `message` with the last OS error.
void LogFailure(const char* function, int line, const char* message) {
  SetErrorPlace(function, kSourceFile, line);
  LogOsError("%s", message);
}

void WINAPI serviceControlHandler(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      SetStatus(SERVICE_STOP_PENDING, kAcceptedControls, NO_ERROR, 1, 5000);
      win.service->stop();
      break;
    case SERVICE_CONTROL_SHUTDOWN:
      // A system shutdown does not stop the connector.
      break;
    default:
      // Interrogate, pause, continue: nothing changes, the state is re-reported.
      SetStatus(win.status.dwCurrentState, kAcceptedControls, NO_ERROR, 0, 0);
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
      ::SetEvent(win.consoleStopRequest->get());
      return TRUE;
    default:
      return FALSE;
  }
}

// Console mode: calls the service object's stop() for every request that
// consoleCtrlHandler signals, on a thread of the C++ runtime, until it is
// destroyed. REQUIRES: win.consoleStopRequest exists.
class ConsoleStopRelay : public host::Controls {
 public:
  ConsoleStopRelay() : quit_(/*manualReset=*/true), thread_([this] { Relay(); }) {}
  ~ConsoleStopRelay() override {
    ::SetEvent(quit_.get());
    thread_.join();
  }

 private:
  void Relay() {
    const HANDLE handles[] = {quit_.get(), win.consoleStopRequest->get()};
    while (::WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) win.service->stop();
  }

  EventHandle quit_;
  std::thread thread_;
};

// Sets serviceMainDone when serviceMain returns, whichever way.
void WINAPI serviceMain(DWORD argc, LPSTR* argv) {
  win.serviceMainEntered = true;
  struct Done {
    ~Done() { ::SetEvent(win.serviceMainDone->get()); }
  } done;
  win.exitCode = host::RunServiceMain(static_cast<int>(argc), argv);
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

  // Quoted: unquoted, a path with a blank ("C:\Program Files\...") would
  // let the manager try "C:\Program.exe" first.
  const std::string command = "\"" + path + "\"";
  ScHandle service(::CreateServiceA(manager.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                    SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                    command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service) fail(300, "installService: CreateService failed");

  CopyTruncated(win.description, description.c_str());
  SERVICE_DESCRIPTIONA info;
  info.lpDescription = win.description;
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

namespace host {

bool RunDispatcher(Service& service, int /*argc*/, char** /*argv*/, int* exitCode) {
  CopyTruncated(win.serviceName, service.getName());
  SERVICE_TABLE_ENTRYA dispatchTable[] = {{win.serviceName, serviceMain}, {nullptr, nullptr}};
  win.serviceMainDone.emplace(/*manualReset=*/true);
  // Blocks until the service has stopped.
  if (!::StartServiceCtrlDispatcherA(dispatchTable)) return false;
  // The dispatcher returns as soon as SERVICE_STOPPED is reported; the
  // process must not end before serviceMain has finished after that report.
  if (win.serviceMainEntered) ::WaitForSingleObject(win.serviceMainDone->get(), INFINITE);
  *exitCode = win.exitCode;
  return true;
}

std::unique_ptr<Controls> OpenControls(bool serviceMode, Service& service) {
  win.service = &service;
  if (serviceMode) {
    win.statusHandle = ::RegisterServiceCtrlHandlerA(service.getName(), serviceControlHandler);
    return win.statusHandle == nullptr ? nullptr : std::make_unique<Controls>();
  }
  if (!win.consoleStopRequest) win.consoleStopRequest.emplace(/*manualReset=*/false);
  auto relay = std::make_unique<ConsoleStopRelay>();
  ::SetConsoleCtrlHandler(consoleCtrlHandler, TRUE);
  return relay;
}

bool ReportStatus(State state, uint32_t checkPoint, uint32_t waitHintMs, int exitCode, uint32_t serviceExitCode) {
  const DWORD accepted = state == State::kStartPending ? 0 : kAcceptedControls;
  return SetStatus(static_cast<DWORD>(state), accepted, static_cast<DWORD>(exitCode), checkPoint, waitHintMs,
                   serviceExitCode);
}

}  // namespace host

void installService(Service& service) { installService(service.getName(), service.getDescription()); }

void uninstallService(Service& service) { uninstallService(std::string(service.getName())); }

}  // namespace libmo
