#include "Common/os.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>

namespace libmo::os {

unsigned CurrentThreadId() { return static_cast<unsigned>(::syscall(SYS_gettid)); }

unsigned CurrentProcessId() { return static_cast<unsigned>(::getpid()); }

bool StdoutIsConsole() { return ::isatty(STDOUT_FILENO) == 1; }

LocalTime LocalNow() {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tm {};
  ::localtime_r(&ts.tv_sec, &tm);
  LocalTime lt;
  lt.year = tm.tm_year + 1900;
  lt.month = tm.tm_mon + 1;
  lt.day = tm.tm_mday;
  lt.hour = tm.tm_hour;
  lt.minute = tm.tm_min;
  lt.second = tm.tm_sec;
  lt.millisecond = static_cast<int>(ts.tv_nsec / 1000000);
  return lt;
}

std::string ModulePath() {
  char buffer[PATH_MAX + 1] = {};
  const ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
  if (n <= 0) return std::string();
  return std::string(buffer, static_cast<size_t>(n));
}

void RaiseOpenFileLimit() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

void SetStdoutBinary() {}

bool ChangeDirectory(const std::string& dir) { return ::chdir(dir.c_str()) == 0; }

}  // namespace libmo::os
