// Service host: runs a service object under the system's service manager
// (the Windows Service Control Manager; systemd on Linux) or, for diagnosis,
// as a console process, and installs and removes the service.
//
// In both modes the service object's run() executes on a separate worker
// thread (the connector's main thread) while the calling thread reports
// status and waits for it; stop requests reach the object's stop().
#pragma once

namespace libmo {

class Service {
 public:
  virtual ~Service() = default;
  virtual const char* getName() = 0;
  virtual const char* getDescription() = 0;
  // Asks the service to stop; must return promptly. Called from the
  // service manager's control thread or the console's break handler.
  virtual void stop() = 0;
  // Runs the service; returns when it has stopped: 0 after a stop that was
  // asked for, otherwise the service's own non-zero exit code (why it could
  // not run or stopped by itself). `argv` is null when `argc` is 0.
  virtual int run(int argc, char** argv) = 0;
};

// Runs `service` as a service (`runAsService`) or as a console process, and
// returns when it has stopped or when the service manager is not there (that
// failure is logged). The object must outlive the call. Returns what run()
// returned (0 when run() never ran); the service manager has been told the
// same: a non-zero code is reported as a service-specific exit code.
int startService(bool runAsService, Service& service, int argc, char** argv);

// Registers the service (demand start, own process; the executable's path
// quoted). Throws on failure after logging the failing step.
void installService(Service& service);

// Stops the service if it runs (one 500 ms wait) and deletes it. Throws on
// failure after logging the failing step.
void uninstallService(Service& service);

}  // namespace libmo
