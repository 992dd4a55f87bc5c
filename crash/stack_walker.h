// The stack walker of the crash reports: writes the list of loaded modules and
// the call stack of a thread as report lines.
//
// Windows: the debug help library (dbghelp.dll), loaded at run time from a
// fixed search order and optional; module list by tool help, else process
// status; file versions from the modules' version resources.
// POSIX: GCC's libbacktrace for names and source lines, the unwinder for the
// frames, dl_iterate_phdr for the modules (ELF files have no version resource,
// so module lines never carry a file version there).
// Without its debug library the walker writes only the line
// "ERROR: Error while initializing dbghelp.dll, GetLastError: 0 (Address: 0...0)".
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "crash/platform.h"

namespace tezra::callstack {

// Where the walker's lines go. Every line goes out through Write, which the
// base class sends to standard output (line break, flush).
class Output {
 public:
  virtual void ModuleListBegin();
  virtual void ModuleListLine(const std::string& text);  // "[ModuleList] " + text
  virtual void ModuleListEnd();
  virtual void CallStackBegin();
  virtual void CallStackLine(const std::string& text);  // "[CallStack] " + text
  virtual void CallStackEnd();
  virtual void Write(const std::string& line);
};

// One loaded module, as listed.
struct ModuleEntry {
  std::string imagePath;
  std::string moduleName;
  uint64_t base = 0;
  uint32_t size = 0;
  const char* symType = "-unknown-";
  std::string pdbName;
  uint64_t fileVersion = 0;  // most significant 16-bit part first; 0: none
};

// One frame, with everything the walker could find out about it.
struct FrameEntry {
  uint64_t pc = 0;
  uint64_t frame = 0;
  std::string name;         // raw symbol name
  std::string undName;      // undecorated, name only
  std::string undFullName;  // undecorated, complete
  std::string lineFile;
  int lineNumber = 0;
  const char* symType = "";
  std::string moduleName;
  std::string imageName;
  bool scanned = false;  // found by the stack scan, not by the unwinder
};

enum class FrameKind { First, Next, Last };

// The text for a symbol type value of the debug help library.
const char* SymTypeText(unsigned symType);

// Created per fault, on the faulting thread. Not thread-safe: one walk at a
// time per walker; the crash handler serialises its reports.
class StackWalker {
 public:
  static constexpr unsigned kRetrieveAll = 63;
  static constexpr unsigned kRetrieveFileVersion = 8;
  static constexpr int kRecursionLimit = 100;

  explicit StackWalker(Output& output);
  virtual ~StackWalker();  // releases the debug library's symbols of the process
  StackWalker(const StackWalker&) = delete;
  StackWalker& operator=(const StackWalker&) = delete;

  // Lists the modules (first call only), then the call stack of `thread`
  // starting at `context`, or at the caller when `context` is null.
  // REQUIRES on POSIX: `thread` is the calling thread; `context` is null or
  // a context of one of its frames (a fault's signal context included).
  // False when there is no debug library (last OS error 1114) or the thread's
  // context cannot be read (then the call stack section holds one line that
  // says so).
  bool WalkStack(ThreadHandle thread, const ThreadContext* context);

 protected:
  virtual void ReportModule(const ModuleEntry& module);
  virtual void ReportFrame(FrameKind kind, const FrameEntry& frame);
  virtual void ReportError(const char* step, int lastError, uint64_t address);

 private:
  struct RawFrame {
    uint64_t pc = 0;
    uint64_t frame = 0;
    uint64_t returnAddress = 0;
    uint64_t lookup = 0;  // where names are looked up (a return address: its call); 0: at pc
  };
  using StepFn = std::function<bool(RawFrame&)>;
  using ResolveFn = std::function<void(const RawFrame&, FrameEntry&)>;

  // The frame loop shared by both systems: markers, endless-stack guard,
  // resolution and frame reports. When no frame lies in a module, the stack
  // from `stackPointer` (the context's; 0: none) is scanned.
  void RunFrameLoop(const StepFn& step, const ResolveFn& resolve, uint64_t stackPointer);

  // The last resort of a walk that found no frame in a module (a corrupted
  // stack, a jump through a bad pointer from a function without a frame):
  // every word on the stack from `stackPointer` up (at most kScanBytes) that
  // points just after a call instruction inside a listed module is reported
  // as a scanned frame, innermost first, at most kMaxScanned of them. When
  // none is found, one line says so and why.
  void ScanStack(uint64_t stackPointer, const ResolveFn& resolve);
  static constexpr size_t kScanBytes = 64 * 1024;
  static constexpr size_t kMaxScanned = 32;
  // True when `address` lies in a listed module just after a call.
  bool AfterCall(uint64_t address) const;
  // True when `address` lies in a listed module (past its first 8 bytes).
  bool InModule(uint64_t address) const;
  // Copies up to `size` bytes from `address` of this process; the count of
  // bytes read before the first unreadable one. Never faults.
  static size_t ReadOwnMemory(uint64_t address, void* buffer, size_t size);

  // One implementation per system.
  static bool DebugLibraryAvailable();
  void InitializeSymbols();
  void ListModules();
  bool WalkFrames(ThreadHandle thread, const ThreadContext* context);

  unsigned options_ = kRetrieveAll;
  int recursionLimit_ = kRecursionLimit;
  ProcessHandle process_;
  unsigned processId_;
  bool modulesLoaded_ = false;
  bool symbolsInitialized_ = false;
  Output& output_;
  std::vector<ModuleEntry> modules_;  // as listed, for the frames' modules
};

}  // namespace tezra::callstack
