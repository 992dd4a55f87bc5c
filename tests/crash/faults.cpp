#include "tests/crash/faults.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

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

// The statement after the call keeps it a call (no tail jump): the return address on the stack lies in this function.
__attribute__((noinline, no_sanitize("address", "undefined"))) void CallNull() {
  nullFunction();
  sink = sink + 1;
}

// No named local holds the function's address: Wine's debug help library would take such a variable for a symbol at
// that address.
bool InNullWrite(uint64_t address) { return address - reinterpret_cast<uint64_t>(&NullWrite) < 64; }

std::vector<std::string> Messages(const std::string& log) {
  std::vector<std::string> out;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t at = line.find("): ");
    out.push_back(at == std::string::npos ? line : line.substr(at + 3));
  }
  return out;
}

Report ParseReport(const std::vector<std::string>& m) {
  Report r;
  const auto at = [&](const char* marker, size_t from) {
    return static_cast<size_t>(std::find(m.begin() + static_cast<long>(std::min(from, m.size())), m.end(), marker) -
                               m.begin());
  };
  const size_t exception = at(">>============ Exception =============", 0);
  if (exception + 3 >= m.size() || m[exception + 2] != "<<============ Exception =============") return r;
  r.exception = m[exception + 1];
  const size_t modules = exception + 3;
  if (m[modules] != ">>=========== Module List ============") return r;
  const size_t stack = at("<<=========== Module List ============", modules) + 1;
  if (stack >= m.size() || m[stack] != ">>============ Call Stack ============") return r;
  const size_t stackEnd = at("<<============ Call Stack ============", stack);
  if (stackEnd >= m.size()) return r;
  for (size_t i = modules + 1; i + 1 < stack; ++i) {
    if (m[i].rfind("[ModuleList] ", 0) != 0) return r;
    r.modules.push_back(m[i].substr(13));
  }
  for (size_t i = stack + 1; i < stackEnd; ++i) {
    if (m[i].rfind("[CallStack] ", 0) != 0 && m[i].rfind("ERROR: ", 0) != 0) return r;
    r.frames.push_back(m[i]);
  }
  r.complete = !r.modules.empty() && !r.frames.empty();
  return r;
}

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "%llX", static_cast<unsigned long long>(value));
  return text;
}

}  // namespace crashtest

#if defined(__SANITIZE_THREAD__)
// The crash report runs inside the fault's signal handler and uses the heap and the logs' mutexes there by design: the
// fault is synchronous and the handler leaves by a C++ exception. ThreadSanitizer still checks for races.
extern "C" const char* __tsan_default_options() { return "report_signal_unsafe=0"; }
#endif
