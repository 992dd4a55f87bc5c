#include "tests/support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace testsupport {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& stdoutPath,
                           const std::string& stderrPath, const std::string& cwd,
                           const std::vector<std::string>& env) {
  if (argv.empty()) throw std::runtime_error("ChildProcess: empty command");
  // Everything the child needs is prepared before fork: after it, only async-signal-safe calls.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const int out = ::open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err = ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (out < 0 || err < 0 || in < 0) throw std::runtime_error("ChildProcess: cannot open output files");

  pid_ = ::fork();
  if (pid_ == 0) {
    ::setpgid(0, 0);  // own group: a stray Ctrl+C of the test runner does not reach it
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    for (const std::string& e : env) {
      const size_t eq = e.find('=');
      if (eq == e.size() - 1) {
        ::unsetenv(e.substr(0, eq).c_str());
      } else {
        ::putenv(const_cast<char*>(e.c_str()));
      }
    }
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(out);
  ::close(err);
  ::close(in);
  if (pid_ < 0) throw std::runtime_error(std::string("ChildProcess: fork failed: ") + std::strerror(errno));
}

ChildProcess::~ChildProcess() {
  if (pid_ <= 0 || status_) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

void ChildProcess::Signal(int signo) {
  if (pid_ > 0 && !status_) ::kill(pid_, signo);
}

bool ChildProcess::Running() { return !WaitExit(std::chrono::milliseconds(0)).has_value(); }

std::optional<int> ChildProcess::WaitExit(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  if (pid_ <= 0) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return status_;
    }
    if (r < 0 && errno != EINTR) return std::nullopt;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

ClientUnderTest Client() {
  ClientUnderTest c;
  const char* binary = std::getenv("RELVO_CLIENT");
  const char* wine = std::getenv("RELVO_WINE");
  if (binary == nullptr || *binary == '\0') throw std::runtime_error("RELVO_CLIENT is not set");
  c.binary = binary;
  if (wine != nullptr) c.wineRun = wine;
  return c;
}

std::string InstallClient(const TempDir& dir) {
  const std::string binary = Client().binary;
  const fs::path target = dir.path() / fs::path(binary).filename();
  fs::copy_file(binary, target, fs::copy_options::overwrite_existing);
  return target.string();
}

std::vector<std::string> ClientCommand(const std::string& exe, const std::vector<std::string>& args) {
  const ClientUnderTest c = Client();
  std::vector<std::string> argv;
  if (c.wine()) argv.push_back(c.wineRun);
  argv.push_back(exe);
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

RunResult RunCommand(const TempDir& dir, const std::string& tag, const std::vector<std::string>& argv,
                     const std::vector<std::string>& env) {
  ChildProcess child(argv, dir / (tag + ".out"), dir / (tag + ".err"), "", env);
  const std::optional<int> code = child.WaitExit(std::chrono::seconds(60));
  EXPECT_TRUE(code) << tag << " did not end within 60 s";
  return RunResult{code.value_or(-1), ReadFile(dir / (tag + ".out")), ReadFile(dir / (tag + ".err"))};
}

}  // namespace testsupport
