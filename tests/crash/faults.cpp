#include "tests/crash/faults.h"

namespace crashtest {

namespace {

struct Cleanup {
  bool& flag;
  ~Cleanup() { flag = true; }
};

int* volatile nullTarget = nullptr;
void (*volatile nullFunction)() = nullptr;
volatile int sink = 0;

}  // namespace

// Sanitizers would report these faults themselves before they happen.
__attribute__((noinline, no_sanitize("address", "undefined"))) void NullWrite() { *nullTarget = 1; }

__attribute__((noinline, no_sanitize("address", "undefined"))) void NullWriteWithCleanup(bool& cleaned) {
  Cleanup cleanup{cleaned};
  *nullTarget = 3;
}

__attribute__((noinline, no_sanitize("address", "undefined"))) int Divide(int divisor) {
  volatile int dividend = 1;
  return dividend / divisor;
}

// The statement after the call keeps it a call (no tail jump), so the
// return address on the stack lies in this function.
__attribute__((noinline, no_sanitize("address", "undefined"))) void CallNull() {
  nullFunction();
  sink = sink + 1;
}

// No named local holds the function's address: Wine's debug help library
// would take such a variable for a symbol at that address.
bool InNullWrite(uint64_t address) { return address - reinterpret_cast<uint64_t>(&NullWrite) < 64; }

}  // namespace crashtest

#if defined(__SANITIZE_THREAD__)
// The crash report runs inside the fault's signal handler and uses the heap
// and the logs' mutexes there by design: the fault is synchronous and the
// handler leaves by a C++ exception. ThreadSanitizer still checks for races.
extern "C" const char* __tsan_default_options() { return "report_signal_unsafe=0"; }
#endif
