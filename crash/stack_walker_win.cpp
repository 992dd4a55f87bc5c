#include "crash/stack_walker.h"

#include <cstring>
#include <memory>

#include "crash/code_location.h"
#include "crash/debug_libraries_win.h"
#include "crash/demangle.h"

namespace tezra::callstack {

namespace {

constexpr DWORD kMaxNameLength = 1024;
constexpr DWORD kSymbolOptions = 0x210;  // SYMOPT_LOAD_LINES | SYMOPT_FAIL_CRITICAL_ERRORS

BOOL WINAPI ReadMemory(HANDLE process, DWORD64 address, PVOID buffer, DWORD size, LPDWORD bytesRead) {
  SIZE_T read = 0;
  const BOOL ok = ::ReadProcessMemory(process, reinterpret_cast<LPCVOID>(address), buffer, size, &read);
  if (bytesRead != nullptr) *bytesRead = static_cast<DWORD>(read);
  return ok;
}

// Resumes a thread that this walk suspended.
class Suspension {
 public:
  explicit Suspension(HANDLE thread) : thread_(thread), suspended_(::SuspendThread(thread) != static_cast<DWORD>(-1)) {}
  ~Suspension() {
    if (suspended_) ::ResumeThread(thread_);
  }
  bool suspended() const { return suspended_; }
  Suspension(const Suspension&) = delete;
  Suspension& operator=(const Suspension&) = delete;

 private:
  HANDLE thread_;
  bool suspended_;
};

void ResolveSymbol(const DebugHelp& dh, HANDLE process, uint64_t pc, FrameEntry& e) {
  alignas(IMAGEHLP_SYMBOL64) char buffer[sizeof(IMAGEHLP_SYMBOL64) + kMaxNameLength] = {};
  auto* symbol = reinterpret_cast<IMAGEHLP_SYMBOL64*>(buffer);
  symbol->SizeOfStruct = sizeof(IMAGEHLP_SYMBOL64);
  symbol->MaxNameLength = kMaxNameLength;
  DWORD64 displacement = 0;
  if (!dh.symGetSymFromAddr64(process, pc, &displacement, symbol)) return;
  buffer[sizeof buffer - 1] = '\0';
  e.name = symbol->Name;
  char text[kMaxNameLength];
  if (dh.unDecorateSymbolName(symbol->Name, text, kMaxNameLength, UNDNAME_NAME_ONLY) != 0) e.undName = text;
  if (dh.unDecorateSymbolName(symbol->Name, text, kMaxNameLength, UNDNAME_COMPLETE) != 0) e.undFullName = text;
  // The library undecorates Microsoft names only; GCC's come back unchanged.
  if (e.undFullName.empty() || e.undFullName == e.name) {
    std::string demangled = Demangle(e.name);
    if (!demangled.empty()) e.undFullName = std::move(demangled);
  }
}

}  // namespace

StackWalker::StackWalker(Output& output)
    : process_(::GetCurrentProcess()), processId_(::GetCurrentProcessId()), output_(output) {}

StackWalker::~StackWalker() {
  if (DebugHelpLibrary().available()) DebugHelpLibrary().symCleanup(process_);
}

bool StackWalker::DebugLibraryAvailable() { return DebugHelpLibrary().available(); }

void StackWalker::InitializeSymbols() {
  const DebugHelp& dh = DebugHelpLibrary();
  if (!dh.symInitialize(process_, nullptr, FALSE)) ReportError("SymInitialize", static_cast<int>(::GetLastError()), 0);
  dh.symSetOptions(dh.symGetOptions() | kSymbolOptions);
}

bool StackWalker::WalkFrames(ThreadHandle thread, const ThreadContext* context) {
  const DebugHelp& dh = DebugHelpLibrary();
  CONTEXT c;
  std::memset(&c, 0, sizeof c);
  std::unique_ptr<Suspension> suspension;
  if (context != nullptr) {
    c = *context;
  } else if (::GetThreadId(thread) == ::GetCurrentThreadId()) {
    ::RtlCaptureContext(&c);
  } else {
    suspension = std::make_unique<Suspension>(thread);
    c.ContextFlags = CONTEXT_FULL;
    if (!suspension->suspended() || !::GetThreadContext(thread, &c)) return false;  // resumed by the suspension
  }

  // A fault at an address in no module (a call through a null pointer) has
  // no unwind information: the walk starts at the return address on the
  // stack when that lies in a module.
  DWORD64 returnAddress = 0;
  SIZE_T read = 0;
  if (context != nullptr && se::LocateCode(reinterpret_cast<void*>(c.Rip)).modulePath.empty() &&
      ::ReadProcessMemory(process_, reinterpret_cast<void*>(c.Rsp), &returnAddress, sizeof returnAddress, &read) &&
      !se::LocateCode(reinterpret_cast<void*>(returnAddress)).modulePath.empty()) {
    c.Rip = returnAddress;
    c.Rsp += sizeof returnAddress;
  }

  STACKFRAME64 sf;
  std::memset(&sf, 0, sizeof sf);
  sf.AddrPC.Offset = c.Rip;
  sf.AddrPC.Mode = AddrModeFlat;
  sf.AddrFrame.Offset = c.Rsp;
  sf.AddrFrame.Mode = AddrModeFlat;
  sf.AddrStack.Offset = c.Rsp;
  sf.AddrStack.Mode = AddrModeFlat;

  const auto step = [&](RawFrame& raw) {
    const BOOL ok = dh.stackWalk64(IMAGE_FILE_MACHINE_AMD64, process_, thread, &sf, &c, &ReadMemory,
                                   dh.symFunctionTableAccess64, dh.symGetModuleBase64, nullptr);
    raw.pc = sf.AddrPC.Offset;
    raw.frame = sf.AddrFrame.Offset;
    raw.returnAddress = sf.AddrReturn.Offset;
    return ok != FALSE;
  };
  const auto resolve = [&](const RawFrame& raw, FrameEntry& e) {
    ResolveSymbol(dh, process_, raw.pc, e);
    if (dh.symGetLineFromAddr64 != nullptr) {
      IMAGEHLP_LINE64 line;
      std::memset(&line, 0, sizeof line);
      line.SizeOfStruct = sizeof line;
      DWORD displacement = 0;
      if (dh.symGetLineFromAddr64(process_, raw.pc, &displacement, &line)) {
        e.lineFile = line.FileName != nullptr ? line.FileName : "";
        e.lineNumber = static_cast<int>(line.LineNumber);
      }
    }
    IMAGEHLP_MODULE64 module;
    std::memset(&module, 0, sizeof module);
    module.SizeOfStruct = sizeof module;
    if (dh.symGetModuleInfo64(process_, raw.pc, &module)) {
      e.symType = SymTypeText(module.SymType);
      e.moduleName = module.ModuleName;
      e.imageName = module.ImageName;
    } else {
      ReportError("SymGetModuleInfo64", static_cast<int>(::GetLastError()), raw.pc);
    }
  };
  RunFrameLoop(step, resolve, context != nullptr ? context->Rsp : 0);
  return true;
}

size_t StackWalker::ReadOwnMemory(uint64_t address, void* buffer, size_t size) {
  SIZE_T read = 0;
  if (!::ReadProcessMemory(::GetCurrentProcess(), reinterpret_cast<LPCVOID>(address), buffer, size, &read)) return 0;
  return static_cast<size_t>(read);
}

}  // namespace tezra::callstack
