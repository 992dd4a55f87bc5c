#include "crash/stack_walker.h"

#include <atomic>
#include <cstdio>

#include "Common/oserror.h"
#include "crash/hooks.h"
#include "crash/report_guard.h"

namespace tezra::callstack {

namespace {

constexpr size_t kLineSize = 1024;  // report lines are cut to this size

std::atomic<bool> debugLibraryEnabled{true};

const char* const kSymTypes[] = {"-nosymbols-", "COFF", "CV", "PDB", "-exported-",
                                 "-deferred-", "SYM", "DIA", "Virtual"};

}  // namespace

void Output::ModuleListBegin() { Write(">>=========== Module List ============"); }
void Output::ModuleListLine(const std::string& text) { Write("[ModuleList] " + text); }
void Output::ModuleListEnd() { Write("<<=========== Module List ============"); }
void Output::CallStackBegin() { Write(">>============ Call Stack ============"); }
void Output::CallStackLine(const std::string& text) { Write("[CallStack] " + text); }
void Output::CallStackEnd() { Write("<<============ Call Stack ============"); }

void Output::Write(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

const char* SymTypeText(unsigned symType) {
  return symType < sizeof(kSymTypes) / sizeof(kSymTypes[0]) ? kSymTypes[symType] : "-unknown-";
}

bool StackWalker::WalkStack(ThreadHandle thread, const ThreadContext* context) {
  const bool available = debugLibraryEnabled.load() && DebugLibraryAvailable();
  if (!modulesLoaded_ && available) {
    InitializeSymbols();
    output_.ModuleListBegin();
    ListModules();
    output_.ModuleListEnd();
    modulesLoaded_ = true;
  }
  if (!available) {
    ReportError("Error while initializing dbghelp.dll", 0, 0);
    libmo::SetLastOsError(1114);
    return false;
  }
  if (WalkFrames(thread, context)) return true;
  // The section is never missing from a report: it says why it is empty.
  const int error = libmo::LastOsError();
  output_.CallStackBegin();
  output_.CallStackLine("No frame: the thread's context could not be read, GetLastError: " + std::to_string(error));
  output_.CallStackEnd();
  libmo::SetLastOsError(error);
  return false;
}

void StackWalker::RunFrameLoop(const StepFn& step, const ResolveFn& resolve, uint64_t stackPointer) {
  output_.CallStackBegin();
  int repeats = 0;
  bool inModule = false;
  for (bool first = true;; first = false) {
    RawFrame raw;
    if (!step(raw)) {
      ReportError("StackWalk64", libmo::LastOsError(), raw.pc);
      break;
    }
    if (raw.pc == raw.returnAddress) {
      if (++repeats > recursionLimit_) {
        ReportError("StackWalk64-Endless-CallStack!", libmo::LastOsError(), raw.pc);
        break;
      }
    } else {
      repeats = 0;
    }
    FrameEntry entry;
    entry.pc = raw.pc;
    entry.frame = raw.frame;
    if (raw.pc != 0) resolve(raw, entry);
    inModule = inModule || !entry.moduleName.empty() || !entry.imageName.empty();
    ReportFrame(first ? FrameKind::First : FrameKind::Next, entry);
    if (raw.returnAddress == 0) {
      ReportFrame(FrameKind::Last, entry);
      libmo::SetLastOsError(0);
      break;
    }
  }
  if (!inModule) ScanStack(stackPointer, resolve);
  output_.CallStackEnd();
}

void StackWalker::ReportModule(const ModuleEntry& m) {
  se::NoteReportProgress();
  char line[kLineSize];
  const PrintedPointer base = PrintPointer(m.base);
  const int size = static_cast<int>(m.size);
  if (m.fileVersion != 0) {
    const uint64_t v = m.fileVersion;
    std::snprintf(line, sizeof line,
                  "%s:%s (0x%" TEZRA_PRI_PTR "), size: %d, SymType: '%s', PDB: '%s', fileVersion: %d.%d.%d.%d",
                  m.imagePath.c_str(), m.moduleName.c_str(), base, size, m.symType, m.pdbName.c_str(),
                  static_cast<int>((v >> 48) & 0xFFFF), static_cast<int>((v >> 32) & 0xFFFF),
                  static_cast<int>((v >> 16) & 0xFFFF), static_cast<int>(v & 0xFFFF));
  } else {
    std::snprintf(line, sizeof line, "%s:%s (0x%" TEZRA_PRI_PTR "), size: %d, SymType: '%s', PDB: '%s'",
                  m.imagePath.c_str(), m.moduleName.c_str(), base, size, m.symType, m.pdbName.c_str());
  }
  output_.ModuleListLine(line);
}

void StackWalker::ReportFrame(FrameKind kind, const FrameEntry& f) {
  se::NoteReportProgress();
  if (kind == FrameKind::Last || f.pc == 0) return;
  const std::string& module = !f.imageName.empty() ? f.imageName : f.moduleName;
  const std::string& function = !f.undFullName.empty() ? f.undFullName : !f.undName.empty() ? f.undName : f.name;
  char line[kLineSize];
  std::snprintf(line, sizeof line, "0x%016llx  0x%016llx  [Module=\"%s\"] [Source=\"%s\":%d] [Func=%s]%s",
                static_cast<unsigned long long>(f.pc), static_cast<unsigned long long>(f.frame), module.c_str(),
                f.lineFile.c_str(), f.lineNumber, function.c_str(), f.scanned ? " [Scanned]" : "");
  output_.CallStackLine(line);
}

void StackWalker::ReportError(const char* step, int lastError, uint64_t address) {
  char line[kLineSize];
  std::snprintf(line, sizeof line, "ERROR: %s, GetLastError: %d (Address: %" TEZRA_PRI_PTR ")", step, lastError,
                PrintPointer(address));
  output_.Write(line);
}

}  // namespace tezra::callstack

void tezra::hooks::SetDebugLibraryEnabled(bool enabled) { tezra::callstack::debugLibraryEnabled.store(enabled); }
