#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include "crash/test_support.h"
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
  path = path.substr(0, path.find_last_of('/') + 1) + "crash_child";
  std::vector<std::string> all{path};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  ChildResult result;
  if (::posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return result;
  int status = 0;
  const bool ended = testsupport::WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeout);
  if (!ended) {
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

}  // namespace crashtest

#include "crash/crash_test_util.h"

namespace crashtest {
std::string DumpSeparatorPattern() { return "/"; }
}  // namespace crashtest
