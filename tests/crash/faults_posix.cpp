#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include "tests/crash/faults.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace crashtest {

const uint32_t kAccessFaultCode = (SIGSEGV << 16) | SEGV_MAPERR;
const uint32_t kDivideFaultCode = (SIGFPE << 16) | FPE_INTDIV;

__attribute__((noinline)) void WithOwnContext(const std::function<void(tezra::ThreadContext&)>& body) {
  ucontext_t context;
  ::getcontext(&context);
  body(context);
}

ChildResult RunCrashChild(const std::vector<std::string>& args, std::chrono::milliseconds timeout) {
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  std::string path(self, n > 0 ? static_cast<size_t>(n) : 0);
  std::vector<std::string> all{path.substr(0, path.find_last_of('/') + 1) + "crash_child"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  ChildResult result;
  if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return result;
  int status = 0;
  if (!testsupport::WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeout)) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return result;
  }
  result.finished = true;
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

ChildResult AccessFaultCrash() { return ChildResult{true, -1, SIGSEGV}; }

void RedirectStandardError(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ::dup2(fd, STDERR_FILENO);
}

}  // namespace crashtest
