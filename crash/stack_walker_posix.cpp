#include "crash/stack_walker.h"

#include <backtrace.h>
#include <dlfcn.h>
#include <sys/uio.h>
#include <unistd.h>
#include <unwind.h>

#include <cerrno>
#include <cstring>

#include "crash/backtrace_posix.h"
#include "crash/demangle.h"

namespace tezra::callstack {

namespace {

constexpr size_t kMaxFrames = 4096;

struct UnwoundFrame {
  uint64_t ip;     // return address, or the exact instruction of a signal frame
  bool exact;      // ip is the instruction itself (a signal frame)
  uint64_t cfa;
};

_Unwind_Reason_Code Collect(_Unwind_Context* context, void* data) {
  auto* frames = static_cast<std::vector<UnwoundFrame>*>(data);
  int beforeInstruction = 0;
  const uint64_t ip = _Unwind_GetIPInfo(context, &beforeInstruction);
  if (ip == 0) return _URC_END_OF_STACK;
  frames->push_back({ip, beforeInstruction != 0, static_cast<uint64_t>(_Unwind_GetCFA(context))});
  return frames->size() < kMaxFrames ? _URC_NO_REASON : _URC_END_OF_STACK;
}

size_t ReadOwn(uint64_t address, void* buffer, size_t size) {
  iovec local{buffer, size};
  iovec remote{reinterpret_cast<void*>(address), size};
  const ssize_t n = ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

// Whether `ip` is the signal return trampoline (mov $15, %rax; syscall).
bool IsSignalReturn(uint64_t ip) {
  static const unsigned char kCode[] = {0x48, 0xc7, 0xc0, 0x0f, 0x00, 0x00, 0x00, 0x0f, 0x05};
  unsigned char code[sizeof kCode];
  return ReadOwn(ip, code, sizeof code) == sizeof code && std::memcmp(code, kCode, sizeof code) == 0;
}

// The index of the frame that `context` belongs to: the signal frame whose
// instruction is the context's, else the first frame above its stack
// pointer. The frames up to a signal's return trampoline are the handler's
// own (on its own stack, which may lie above the faulting one): never the
// context's.
size_t FirstFrame(const std::vector<UnwoundFrame>& frames, const ThreadContext& context) {
  const uint64_t ip = static_cast<uint64_t>(context.uc_mcontext.gregs[REG_RIP]);
  const uint64_t sp = static_cast<uint64_t>(context.uc_mcontext.gregs[REG_RSP]);
  for (size_t i = 0; i < frames.size(); ++i) {
    if (frames[i].ip == ip) return i;
  }
  size_t from = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    if (IsSignalReturn(frames[i].ip)) from = i + 1;
  }
  for (size_t i = from; i < frames.size(); ++i) {
    if (frames[i].cfa > sp) return i;
  }
  return frames.size();
}

int TakeLine(void* data, uintptr_t, const char* file, int line, const char* function) {
  auto* e = static_cast<FrameEntry*>(data);
  if (file != nullptr) e->lineFile = file;
  e->lineNumber = line;
  if (function != nullptr) e->undName = function;  // the innermost (inlined) function
  return 1;
}

void TakeSymbol(void* data, uintptr_t, const char* symbol, uintptr_t, uintptr_t) {
  if (symbol != nullptr) static_cast<FrameEntry*>(data)->name = symbol;
}

void IgnoreError(void*, const char*, int) {}

}  // namespace

StackWalker::StackWalker(Output& output)
    : process_(static_cast<int>(::getpid())), processId_(static_cast<unsigned>(::getpid())), output_(output) {}

StackWalker::~StackWalker() = default;  // libbacktrace keeps its tables for the process

bool StackWalker::DebugLibraryAvailable() { return BacktraceState() != nullptr; }

void StackWalker::InitializeSymbols() {}

bool StackWalker::WalkFrames(ThreadHandle thread, const ThreadContext* context) {
  if (!::pthread_equal(thread, ::pthread_self())) {
    errno = ESRCH;  // another thread's stack cannot be read from here
    return false;
  }
  backtrace_state* state = BacktraceState();
  std::vector<UnwoundFrame> frames;
  frames.reserve(256);
  _Unwind_Backtrace(&Collect, &frames);  // frames[0] is this function
  const size_t first = context != nullptr ? FirstFrame(frames, *context) : 0;
  size_t next = first;

  const auto step = [&](RawFrame& raw) {
    const bool atContext = context != nullptr && next == first;
    const uint64_t contextIp = context != nullptr ? context->uc_mcontext.gregs[REG_RIP] : 0;
    if (next >= frames.size()) {
      raw.pc = atContext ? contextIp : 0;
      errno = ESRCH;
      return false;
    }
    const UnwoundFrame& f = frames[next];
    raw.pc = atContext ? contextIp : f.ip;
    raw.frame = f.cfa;
    raw.returnAddress = next + 1 < frames.size() ? frames[next + 1].ip : 0;
    // A return address is looked up at its call instruction.
    raw.lookup = atContext || f.exact ? raw.pc : raw.pc - 1;
    ++next;
    return true;
  };
  const auto resolve = [&](const RawFrame& raw, FrameEntry& e) {
    const uint64_t lookup = raw.lookup;
    // Names: the symbol table's (complete once demangled), else the debug
    // information's function name, else the dynamic linker's symbol.
    backtrace_pcinfo(state, lookup, &TakeLine, &IgnoreError, &e);
    backtrace_syminfo(state, lookup, &TakeSymbol, &IgnoreError, &e);
    Dl_info info;
    const bool known = ::dladdr(reinterpret_cast<void*>(lookup), &info) != 0;
    if (e.name.empty() && e.undName.empty() && known && info.dli_sname != nullptr) e.name = info.dli_sname;
    e.undFullName = Demangle(e.name);
    std::string demangled = Demangle(e.undName);
    if (!demangled.empty()) e.undName = std::move(demangled);
    for (const ModuleEntry& m : modules_) {
      if (lookup >= m.base && lookup - m.base < m.size) {
        e.symType = m.symType;
        e.moduleName = m.moduleName;
        e.imageName = m.imagePath;
        return;
      }
    }
    if (known && info.dli_fname != nullptr) {
      e.imageName = info.dli_fname;
      return;
    }
    ReportError("SymGetModuleInfo64", errno, raw.pc);
  };
  RunFrameLoop(step, resolve, context != nullptr ? context->uc_mcontext.gregs[REG_RSP] : 0);
  return true;
}

size_t StackWalker::ReadOwnMemory(uint64_t address, void* buffer, size_t size) {
  return ReadOwn(address, buffer, size);
}

}  // namespace tezra::callstack
