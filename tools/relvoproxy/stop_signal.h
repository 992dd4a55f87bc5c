// Stop requests from outside the process: SIGINT and SIGTERM on POSIX;
// Ctrl+C, Ctrl+Break and the closing of the console on Windows. On POSIX
// SIGHUP reopens the log file instead (the signal logrotate sends).
#pragma once

#include <memory>
#include <string>

namespace relvoproxy {

class StopRequests {
 public:
  // Starts taking the requests. REQUIRES: built before the process starts
  // any other thread (on POSIX the signals are blocked in the calling thread,
  // and threads started later inherit that). Throws std::system_error when
  // it cannot.
  StopRequests();
  ~StopRequests();
  StopRequests(const StopRequests&) = delete;
  StopRequests& operator=(const StopRequests&) = delete;

  // Blocks until a stop is requested; returns what asked ("SIGINT",
  // "Ctrl+C", ...). Later requests while the process stops are ignored.
  std::string Wait();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace relvoproxy
