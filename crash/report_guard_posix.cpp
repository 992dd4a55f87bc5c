#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "crash/report_guard.h"
#include "crash/report_guard_os.h"

namespace tezra::se {

namespace {

sem_t wake;

void* Watchdog(void*) {
  // Faults are never delivered here by a kill meant for a faulting thread.
  sigset_t all;
  sigfillset(&all);
  sigdelset(&all, SIGSEGV);
  ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
  detail::WatchdogBody();
  return nullptr;
}

}  // namespace

void StartReportGuard() {
  static const bool started = [] {
    if (::sem_init(&wake, 0, 0) != 0) return false;
    pthread_t thread;
    if (::pthread_create(&thread, nullptr, &Watchdog, nullptr) != 0) return false;
    ::pthread_detach(thread);
    return true;
  }();
  (void)started;
}

namespace detail {

void WaitForWake() {
  while (::sem_wait(&wake) != 0 && errno == EINTR) {
  }
}

void WakeWatchdog() { ::sem_post(&wake); }

void Pause() {
  const timespec pause = {0, 50 * 1000 * 1000};
  ::nanosleep(&pause, nullptr);
}

void WriteStandardError(const char* text) {
  [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, text, std::strlen(text));
}

void EndProcess(unsigned code) {
  const int signo = static_cast<int>(code);
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  ::sigaction(signo, &dfl, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signo);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(signo);
  ::_exit(128 + signo);
}

}  // namespace detail

}  // namespace tezra::se
