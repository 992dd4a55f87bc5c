// End-to-end support: the relvoclient binary under test as a child process. The test driver is always a Linux program;
// the Windows build runs through scripts/wine-run.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace testsupport {

// A child process with stdout and stderr redirected to files (never pipes: Wine's server would hold a pipe open).
// Killed and reaped when destroyed.
class ChildProcess {
 public:
  // Starts argv[0] (searched on PATH) with `args` in folder `cwd` (or the current one). `env` entries "NAME=value" are
  // added to the environment; "NAME=" alone removes NAME. Throws std::runtime_error when it cannot start.
  ChildProcess(const std::vector<std::string>& argv, const std::string& stdoutPath, const std::string& stderrPath,
               const std::string& cwd = "", const std::vector<std::string>& env = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  void Signal(int signo);
  void Interrupt() { Signal(SIGINT); }  // Ctrl+C for a console program under Wine too
  void Terminate() { Signal(SIGTERM); }
  void Kill() { Signal(SIGKILL); }

  // The exit code (128 + signal for a signal death) once the process has ended; nothing if it runs on after `timeout`.
  std::optional<int> WaitExit(std::chrono::milliseconds timeout);

  bool Running();

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// The relvoclient build that this run of the end-to-end suite drives.
struct ClientUnderTest {
  std::string binary;  // path of relvoclient or relvoclient.exe
  std::string wineRun;  // path of scripts/wine-run when the binary is a Windows one
  bool wine() const { return !wineRun.empty(); }
};
// From the environment: RELVO_CLIENT (required) and RELVO_WINE.
ClientUnderTest Client();

// Copies the binary under test into `dir` under its own file name; returns the copy's path.
std::string InstallClient(const TempDir& dir);

// The command line that runs the installed copy `exe` with `args`.
std::vector<std::string> ClientCommand(const std::string& exe, const std::vector<std::string>& args);

// Runs `argv` to its end with output in `dir`/<tag>.out and <tag>.err. Over 60 s: fails the test and kills the process.
struct RunResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};
RunResult RunCommand(const TempDir& dir, const std::string& tag, const std::vector<std::string>& argv,
                     const std::vector<std::string>& env = {});
// RunCommand of the installed copy `exe` with `args`, tagged "client".
inline RunResult RunClient(const TempDir& dir, const std::string& exe, const std::vector<std::string>& args,
                           const std::vector<std::string>& env = {}) {
  return RunCommand(dir, "client", ClientCommand(exe, args), env);
}

}  // namespace testsupport
