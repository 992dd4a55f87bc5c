#include "crash/translator.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>

#include "crash/code_location.h"
#include "crash/report_guard.h"

// The faulting thread resumes at tezra_se_FaultEntry with rcx = the text to
// throw (owned std::string*) and rdx = fault address + 1. It pushes rdx at
// the original stack pointer minus 8, so that tezra_se_FaultFrame looks
// called from the faulting instruction; that frame realigns the stack and
// throws. Its unwind information restores rsp from rbp, so the unwinder
// reaches the faulting function with the stack pointer of the fault.
extern "C" [[noreturn]] void tezra_se_ThrowFault(std::string* text) {
  std::unique_ptr<std::string> owned(text);
  std::string message = std::move(*owned);
  owned.reset();
  throw std::runtime_error(message);
}
extern "C" void tezra_se_FaultEntry();
asm(R"(
    .text
    .p2align 4
    .globl tezra_se_FaultEntry
tezra_se_FaultEntry:
    pushq %rdx
    .def tezra_se_FaultFrame; .scl 3; .type 32; .endef
    .seh_proc tezra_se_FaultFrame
tezra_se_FaultFrame:
    pushq %rbp
    .seh_pushreg %rbp
    movq %rsp, %rbp
    .seh_setframe %rbp, 0
    .seh_endprologue
    andq $-16, %rsp
    subq $32, %rsp
    call tezra_se_ThrowFault
    int3
    .seh_endproc
)");

namespace tezra::se {

namespace {

// A thread's value in the slot: 0 until it installs the translator.
constexpr uintptr_t kInstalled = 1;
constexpr uintptr_t kReporting = 2;  // a report of this thread is being written

std::atomic<DWORD> slot{TLS_OUT_OF_INDEXES};

bool IsHardwareFault(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW:
    case STATUS_FLOAT_MULTIPLE_FAULTS:
    case STATUS_FLOAT_MULTIPLE_TRAPS:
      return true;
    default:
      return false;
  }
}

uintptr_t ThreadState() {
  const DWORD index = slot.load();
  return index == TLS_OUT_OF_INDEXES ? 0 : reinterpret_cast<uintptr_t>(::TlsGetValue(index));
}

void SetThreadState(uintptr_t state) {
  const DWORD index = slot.load();
  if (index != TLS_OUT_OF_INDEXES) ::TlsSetValue(index, reinterpret_cast<void*>(state));
}

bool InModule(DWORD64 address) { return !LocateCode(reinterpret_cast<void*>(address)).modulePath.empty(); }

// A throw unwinds from the faulting instruction, or, at an address in no
// module (a call through a null pointer), from the return address on the
// stack; with neither in a module it cannot unwind.
bool Unwindable(const CONTEXT& c) {
  DWORD64 returnAddress = 0;
  SIZE_T read = 0;
  return InModule(c.Rip) || (::ReadProcessMemory(::GetCurrentProcess(), reinterpret_cast<void*>(c.Rsp), &returnAddress,
                                                 sizeof returnAddress, &read) &&
                             InModule(returnAddress));
}

LONG WINAPI TopLevelFilter(EXCEPTION_POINTERS* ep);

LONG CALLBACK TranslatorHandler(EXCEPTION_POINTERS* ep) {
  const DWORD lastError = ::GetLastError();  // TlsGetValue clears it
  if (!IsHardwareFault(ep->ExceptionRecord->ExceptionCode) || ThreadState() != kInstalled) {
    ::SetLastError(lastError);
    return EXCEPTION_CONTINUE_SEARCH;
  }
  const bool unwindable = Unwindable(*ep->ContextRecord);
  ::SetLastError(lastError);
  if (!unwindable) {  // reported, then the process ends
    TopLevelFilter(ep);
    ::TerminateProcess(::GetCurrentProcess(), ep->ExceptionRecord->ExceptionCode);
  }
  SetThreadState(kReporting);
  std::string* text = nullptr;
  try {
    GuardedReport guard(ep->ExceptionRecord->ExceptionCode);
    try {
      TranslateException(ep->ExceptionRecord->ExceptionCode, ep);
    } catch (const std::exception& e) {
      text = new std::string(e.what());
    }
  } catch (...) {
    // No text to throw: the fault goes on to the frame handlers and the filter.
  }
  const DWORD reportError = ::GetLastError();
  SetThreadState(kInstalled);
  ::SetLastError(reportError);
  if (text == nullptr) return EXCEPTION_CONTINUE_SEARCH;
  CONTEXT* c = ep->ContextRecord;
  c->Rcx = reinterpret_cast<DWORD64>(text);
  c->Rdx = reinterpret_cast<DWORD64>(ep->ExceptionRecord->ExceptionAddress) + 1;
  c->Rip = reinterpret_cast<DWORD64>(&tezra_se_FaultEntry);
  return EXCEPTION_CONTINUE_EXECUTION;
}

LONG WINAPI TopLevelFilter(EXCEPTION_POINTERS* ep) {
  const uintptr_t state = ThreadState();
  if (state == kReporting) EndAfterFailedReport(ep->ExceptionRecord->ExceptionCode);
  SetThreadState(kReporting);
  LONG result;
  {
    GuardedReport guard(ep->ExceptionRecord->ExceptionCode);
    result = UnhandledFilter(ep);
  }
  SetThreadState(state);
  return result;
}

// The process's slot and vectored handler, from the first install to exit.
class Registration {
 public:
  Registration() {
    slot = ::TlsAlloc();
    cookie_ = ::AddVectoredExceptionHandler(1, &TranslatorHandler);
  }
  ~Registration() {
    if (cookie_ != nullptr) ::RemoveVectoredExceptionHandler(cookie_);
    const DWORD index = slot.exchange(TLS_OUT_OF_INDEXES);
    if (index != TLS_OUT_OF_INDEXES) ::TlsFree(index);
  }
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;

 private:
  PVOID cookie_ = nullptr;
};

void EnsureRegistration() {
  StartReportGuard();
  static Registration registration;
}

}  // namespace

void InstallThreadTranslator() {
  EnsureRegistration();
  if (ThreadState() == 0) SetThreadState(kInstalled);
}

void InstallUnhandledExceptionFilter() {
  EnsureRegistration();
  ::SetUnhandledExceptionFilter(&TopLevelFilter);
}

}  // namespace tezra::se
