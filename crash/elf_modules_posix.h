// The ELF objects loaded in the process (dl_iterate_phdr), for the module
// list and for placing an address in its module.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tezra::callstack {

struct LoadSegment {
  uint64_t start = 0;  // in the running process
  uint64_t memorySize = 0;
  uint64_t fileSize = 0;
};

struct LoadedObject {
  std::string path;  // the main program's is read from /proc/self/exe
  bool mainProgram = false;
  uint64_t base = 0;  // start of the lowest loadable segment
  uint64_t size = 0;  // span of the loadable segments
  std::vector<LoadSegment> segments;  // PT_LOAD, in program header order
};

std::vector<LoadedObject> LoadedObjects();

// The object whose loadable segments hold `address`; null when none does.
const LoadedObject* FindObject(const std::vector<LoadedObject>& objects, uint64_t address);

// What symbol information the ELF file at `path` carries, as a symbol type
// text: "DIA" (DWARF debug information), "SYM" (a symbol table),
// "-exported-" (dynamic symbols only), "-nosymbols-", or "-unknown-" when the
// file cannot be read as ELF.
const char* SymbolKind(const std::string& path);

std::string BaseName(const std::string& path);

}  // namespace tezra::callstack
