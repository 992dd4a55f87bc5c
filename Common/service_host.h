// What the service host's shared skeleton (service.cpp) asks of each
// platform (service_win.cpp, service_posix.cpp). Internal to the host.
#pragma once

#include <cstdint>
#include <memory>

#include "Common/service.h"

namespace libmo::host {

// Service states, numbered like the Windows SERVICE_* states.
enum class State : uint32_t {
  kStopped = 1,
  kStartPending = 2,
  kStopPending = 3,
  kRunning = 4,
};

// Keeps stop requests flowing to the service object while it lives.
class Controls {
 public:
  virtual ~Controls() = default;
};

// Service mode: reaches the service manager that started the process and
// runs RunServiceMain under it (with the arguments the manager gives, or
// else `argc` and `argv`); returns false with the OS error set when
// there is none. Returns once the service has stopped, with RunServiceMain's
// result in *exitCode.
bool RunDispatcher(Service& service, int argc, char** argv, int* exitCode);

// Service mode: connects the control handler to the service manager and
// opens the status reports. Console mode: routes console breaks to
// service.stop(). Built before the main thread starts; null on failure, with
// the OS error set.
std::unique_ptr<Controls> OpenControls(bool serviceMode, Service& service);

// Reports the service's status (service mode only). Start pending accepts
// no controls, every other state stop, pause/continue and shutdown.
// `exitCode` is an OS error; a non-zero `serviceExitCode` is the service's
// own exit code (Windows: ERROR_SERVICE_SPECIFIC_ERROR with it). False with
// the OS error set.
bool ReportStatus(State state, uint32_t checkPoint, uint32_t waitHintMs, int exitCode = 0,
                  uint32_t serviceExitCode = 0);

// The skeleton's serviceMain: copies the arguments, opens the controls, runs
// service.run() on the main thread, reports and logs each step. Returns
// what run() returned, 0 when it did not run.
int RunServiceMain(int argc, char** argv);

}  // namespace libmo::host
