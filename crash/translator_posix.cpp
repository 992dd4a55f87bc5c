#include "crash/translator.h"

#include <dlfcn.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "crash/report_guard.h"
#include "crash/report_guard_os.h"

namespace tezra::se {

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr size_t kSignalCount = sizeof kSignals / sizeof kSignals[0];
constexpr size_t kAltStackSize = 256 * 1024;  // the report runs on it

enum ThreadState : int { kNone = 0, kInstalled = 1, kReporting = 2 };
thread_local int threadState = kNone;  // plain TLS: no allocation in the handler

std::atomic<bool> filterInstalled{false};
struct sigaction previous[kSignalCount];

// Sets the thread's state for a scope, also when it is left by the throw.
class StateScope {
 public:
  explicit StateScope(int state) : saved_(threadState) { threadState = state; }
  ~StateScope() { threadState = saved_; }
  StateScope(const StateScope&) = delete;
  StateScope& operator=(const StateScope&) = delete;

 private:
  int saved_;
};

ExceptionRecord MakeRecord(int signo, const siginfo_t& info, const ucontext_t& context) {
  ExceptionRecord r;
  r.ExceptionCode = (static_cast<uint32_t>(signo) << 16) | (static_cast<uint32_t>(info.si_code) & 0xFFFFu);
  r.ExceptionAddress = reinterpret_cast<void*>(context.uc_mcontext.gregs[REG_RIP]);
  if (signo == SIGSEGV || signo == SIGBUS) {
    r.NumberParameters = 1;
    r.ExceptionInformation[0] = reinterpret_cast<uintptr_t>(info.si_addr);
  }
  return r;
}

// A fault at an address in no module (a call through a null or garbage
// function pointer) has no unwind information; it is moved to its caller's
// call instruction, taken from the return address on the stack, so that
// both the report's stack walk and the throw unwind from there. False when
// neither address lies in a module: no throw can unwind such a stack.
bool MoveToCaller(ucontext_t& context) {
  Dl_info info;
  greg_t* regs = context.uc_mcontext.gregs;
  if (::dladdr(reinterpret_cast<void*>(regs[REG_RIP]), &info) != 0) return true;
  const uintptr_t returnAddress = *reinterpret_cast<const uintptr_t*>(regs[REG_RSP]);
  if (returnAddress == 0 || ::dladdr(reinterpret_cast<void*>(returnAddress), &info) == 0) return false;
  regs[REG_RIP] = static_cast<greg_t>(returnAddress - 1);
  regs[REG_RSP] += static_cast<greg_t>(sizeof(uintptr_t));
  return true;
}

// A fault that is none of ours goes where it would have gone without us.
void Forward(int signo, siginfo_t* info, void* context) {
  for (size_t i = 0; i < kSignalCount; ++i) {
    if (kSignals[i] != signo) continue;
    const struct sigaction& p = previous[i];
    if ((p.sa_flags & SA_SIGINFO) != 0 && p.sa_sigaction != nullptr) {
      p.sa_sigaction(signo, info, context);
      return;
    }
    if (p.sa_handler != SIG_DFL && p.sa_handler != SIG_IGN && p.sa_handler != nullptr) {
      p.sa_handler(signo);
      return;
    }
  }
  detail::EndProcess(static_cast<unsigned>(signo));
}

void OnFault(int signo, siginfo_t* info, void* raw) {
  const int savedErrno = errno;
  auto* context = static_cast<ucontext_t*>(raw);
  ExceptionRecord record = MakeRecord(signo, *info, *context);
  ExceptionPointers ep{&record, context};
  const bool hardware = info->si_code > 0;  // raised by the processor, not sent
  if (threadState == kReporting) EndAfterFailedReport(static_cast<unsigned>(signo));
  bool translated = threadState == kInstalled && hardware;
  if (!translated && !filterInstalled.load()) {
    errno = savedErrno;
    Forward(signo, info, raw);
    return;
  }
  if (!MoveToCaller(*context)) translated = false;  // reported, then the process ends
  {
    StateScope reporting(kReporting);
    GuardedReport guard(static_cast<unsigned>(signo));
    errno = savedErrno;
    if (translated) TranslateException(record.ExceptionCode, &ep);  // throws through the signal frame
    UnhandledFilter(&ep);
  }
  detail::EndProcess(static_cast<unsigned>(signo));
}

// The process's signal handlers, from the first install to exit.
class SignalHandlers {
 public:
  SignalHandlers() {
    struct sigaction sa = {};
    sa.sa_sigaction = &OnFault;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;  // a throw leaves the signal unblocked
    sigemptyset(&sa.sa_mask);
    for (size_t i = 0; i < kSignalCount; ++i) ::sigaction(kSignals[i], &sa, &previous[i]);
  }
  ~SignalHandlers() {
    for (size_t i = 0; i < kSignalCount; ++i) ::sigaction(kSignals[i], &previous[i], nullptr);
  }
  SignalHandlers(const SignalHandlers&) = delete;
  SignalHandlers& operator=(const SignalHandlers&) = delete;
};

void EnsureSignalHandlers() {
  StartReportGuard();
  static SignalHandlers handlers;
}

// The calling thread's alternate signal stack, with a guard page below it;
// the previous one is put back when the thread ends.
class AltStack {
 public:
  AltStack() {
    const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    size_ = kAltStackSize + page;
    void* memory = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (memory == MAP_FAILED) return;
    memory_ = static_cast<char*>(memory);
    ::mprotect(memory_, page, PROT_NONE);
    stack_t stack = {};
    stack.ss_sp = memory_ + page;
    stack.ss_size = kAltStackSize;
    installed_ = ::sigaltstack(&stack, &previous_) == 0;
  }
  ~AltStack() {
    if (installed_) {
      if ((previous_.ss_flags & SS_DISABLE) != 0) {
        stack_t off = {};
        off.ss_flags = SS_DISABLE;
        ::sigaltstack(&off, nullptr);
      } else {
        ::sigaltstack(&previous_, nullptr);
      }
    }
    if (memory_ != nullptr) ::munmap(memory_, size_);
  }
  AltStack(const AltStack&) = delete;
  AltStack& operator=(const AltStack&) = delete;

 private:
  char* memory_ = nullptr;
  size_t size_ = 0;
  stack_t previous_ = {};
  bool installed_ = false;
};

}  // namespace

void InstallThreadTranslator() {
  EnsureSignalHandlers();
  static thread_local AltStack altStack;  // this thread's, until it ends
  if (threadState == kNone) threadState = kInstalled;
}

void InstallUnhandledExceptionFilter() {
  EnsureSignalHandlers();
  filterInstalled.store(true);
}

}  // namespace tezra::se
