// Ends by a fault: crash_child <mode> <log folder>. Modes:
//   unhandled     a fault on a thread without the translator;
//   report-locked a fault while another thread holds the report lock, so
//                 that the report cannot finish;
//   lost-caller   a jump to address 0 with no return address in any module:
//                 reported, then it ends the process as if unhandled;
//   lost-stack    as lost-caller, on a stack of zeros: no return address;
//   report-fault  (POSIX) a fault in a frame whose unwind rule reads address
//                 16, so that the report's stack walk itself faults.
// Standard error goes to stderr.txt in the log folder.
#include <cstring>
#include <string>
#include <thread>

#include "Common/log.h"
#include "crash/hooks.h"
#include "crash/translator.h"
#include "tests/crash/faults.h"

// Pushes a return address that lies in no module, then jumps to 0.
extern "C" void crashtest_JumpToNull();
asm(R"(
    .text
    .globl crashtest_JumpToNull
crashtest_JumpToNull:
    pushq $8
    xorl %eax, %eax
    jmp *%rax
)");

// Moves the stack pointer to `stack` (in rcx: the first argument on Windows, the fourth on POSIX), then jumps to 0.
extern "C" void crashtest_LoseStack(void*, void*, void*, void* stack);
asm(R"(
    .text
    .globl crashtest_LoseStack
crashtest_LoseStack:
    movq %rcx, %rsp
    xorl %eax, %eax
    jmp *%rax
)");

// Faults with the stack pointer in a block of zeros on the thread's own stack (Windows dispatches no exception on any
// other).
__attribute__((noinline)) void FaultOnZeros() {
  unsigned char zeros[128 * 1024];
  std::memset(zeros, 0, sizeof zeros);
  unsigned char* const stack = zeros + 16 * 1024;
  crashtest_LoseStack(stack, stack, stack, stack);
}

#if !defined(_WIN32)
// Its frame's address is rbp + 16 with rbp = 8: unwinding it reads address 16.
extern "C" void crashtest_BadFrame();
asm(R"(
    .text
    .globl crashtest_BadFrame
crashtest_BadFrame:
    .cfi_startproc
    pushq %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    movq $8, %rbp
    .cfi_def_cfa_register %rbp
    xorl %eax, %eax
    movl (%rax), %eax
    .cfi_endproc
)");
#endif

namespace {

std::string logFolder;

void LogPaths(std::string& events, std::string& errors) {
  events = logFolder + "/events.log";
  errors = logFolder + "/errors.log";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string mode = argv[1];
  logFolder = argv[2];
  crashtest::RedirectStandardError(logFolder + "/stderr.txt");
  libmo::SetLogPathSource(&LogPaths);
  if (LogInit("CHILD")) return 3;
  tezra::se::InstallThreadTranslator();  // for this thread only
  tezra::se::InstallUnhandledExceptionFilter();
  std::unique_lock<std::recursive_mutex> lock(tezra::hooks::ReportLock(), std::defer_lock);
  if (mode == "report-locked") lock.lock();
  std::thread worker([&mode] {
    SetThreadTag("WORKER");
    if (mode == "unhandled") crashtest::NullWrite();
    tezra::se::InstallThreadTranslator();
    if (mode == "lost-caller") crashtest_JumpToNull();
    if (mode == "lost-stack") FaultOnZeros();
#if !defined(_WIN32)
    if (mode == "report-fault") crashtest_BadFrame();
#endif
    crashtest::NullWrite();
  });
  worker.join();
  return 0;  // not reached: the fault ends the process
}
