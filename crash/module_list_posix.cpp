#include "crash/elf_modules_posix.h"
#include "crash/stack_walker.h"

namespace tezra::callstack {

// ELF files carry no version resource: module lines never show a file
// version here, whatever the options say.
void StackWalker::ListModules() {
  for (const LoadedObject& o : LoadedObjects()) {
    ModuleEntry m;
    m.imagePath = o.path;
    m.moduleName = BaseName(o.path);
    m.base = o.base;
    m.size = static_cast<uint32_t>(o.size);
    m.symType = SymbolKind(o.path);
    ReportModule(m);
    modules_.push_back(std::move(m));
  }
}

}  // namespace tezra::callstack
